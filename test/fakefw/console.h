// ConOut: a text console with a real mode record. Text is recorded line by line with the
// attribute of every unit; the cursor column follows "\r", "\n" and backspace as on a screen
// (no wrapping: a line is as long as what was written to it).
#pragma once

#include <string>
#include <vector>

#include "boot/efi/efi.h"

namespace fakefw {

struct Line {
    std::u16string text;
    std::vector<UINTN> attributes; // one per unit of text
    std::string utf8() const;
};

std::string to_utf8(const std::u16string &text);

class Console {
public:
    Console();
    Console(const Console &) = delete;
    Console &operator=(const Console &) = delete;

    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *protocol() { return &protocol_; }
    // The mode record the firmware shows; tests may set a starting attribute or column here.
    SIMPLE_TEXT_OUTPUT_MODE &mode() { return mode_; }

    // Finished lines, then the current one if anything was written to it.
    std::vector<Line> lines() const;
    // The last of lines(), or an empty line.
    Line last_line() const;
    // All text as UTF-8, each finished line followed by "\n".
    std::string text() const;
    // The stub's messages, each line without the "file:line@function: " it starts with.
    std::vector<std::string> messages() const;

    // Firmware side, called through the protocol.
    void bind();
    EFI_STATUS output_string(const CHAR16 *s);
    EFI_STATUS set_attribute(UINTN attribute);
    EFI_STATUS query_mode(UINTN mode, UINTN *columns, UINTN *rows);
    EFI_STATUS enable_cursor(BOOLEAN visible);

private:
    void put(char16_t c);

    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL protocol_ = {};
    SIMPLE_TEXT_OUTPUT_MODE mode_ = {};
    std::vector<Line> finished_;
    Line current_;
};

} // namespace fakefw
