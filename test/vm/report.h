// Facts for the VM tests, written straight to the first serial port, one per line:
//
//     <PREFIX> begin
//     <PREFIX> <key>=<value>
//     <PREFIX> end
//
// Keys are lower case words joined by "." and "-" (an index may stand between dots, as in
// "image.0.path"). Values are decimal numbers, statuses as 0x and 16 hex digits, "yes"/"no",
// bytes as lower case hex (two digits each, nothing between), or text in which everything
// but printable ASCII is written \uXXXX (one UTF-16 unit) and "\" is written "\\". The port is
// written without the firmware's console in between, so no escape sequence or line wrap ever
// splits a line; a line break first parts the report from a console line left unfinished.
#pragma once

#include "boot/efi/efi.h"

namespace korvane::vmtest {

// "name.index.field", e.g. Key("image", 0, "path"); longer keys are cut to fit.
class Key {
public:
    Key(const char *name, size_t index, const char *field);
    const char *c_str() const { return text_; }

private:
    char text_[64];
};

class Report {
public:
    // Writes the begin line; the prefix must stay valid while the report is written.
    explicit Report(const char *prefix);

    void number(const char *key, uint64_t value);
    void status(const char *key, EFI_STATUS value);
    void flag(const char *key, bool value);
    void bytes(const char *key, const void *data, size_t size);
    void text(const char *key, const char16_t *s, size_t n_units);
    // Each byte of the NUL-terminated s as one unit (Latin-1).
    void text8(const char *key, const char *s);
    void end();

private:
    void open(const char *key);

    const char *prefix_;
};

} // namespace korvane::vmtest
