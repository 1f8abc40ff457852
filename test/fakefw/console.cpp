#include "fakefw/console.h"

#include <gtest/gtest.h>

#include "fakefw/trampoline.h"

namespace fakefw {

namespace {

constexpr UINTN COLUMNS = 80, ROWS = 25;
constexpr UINTN ATTRIBUTE_MASK = 0x7f;

Console &console(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This) {
    Console &c = Firmware::active().console();
    EXPECT_EQ(This, c.protocol()) << "fakefw: ConOut member called with a foreign This";
    return c;
}

EFI_STATUS output_string(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, const CHAR16 *s) {
    return console(This).output_string(s);
}
EFI_STATUS set_attribute(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, UINTN attribute) {
    return console(This).set_attribute(attribute);
}
EFI_STATUS query_mode(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, UINTN mode, UINTN *columns, UINTN *rows) {
    return console(This).query_mode(mode, columns, rows);
}
EFI_STATUS enable_cursor(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, BOOLEAN visible) {
    return console(This).enable_cursor(visible);
}

void append_utf8(std::string &out, uint32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xc0 | c >> 6);
        out += char(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        out += char(0xe0 | c >> 12);
        out += char(0x80 | (c >> 6 & 0x3f));
        out += char(0x80 | (c & 0x3f));
    } else {
        out += char(0xf0 | c >> 18);
        out += char(0x80 | (c >> 12 & 0x3f));
        out += char(0x80 | (c >> 6 & 0x3f));
        out += char(0x80 | (c & 0x3f));
    }
}

} // namespace

std::string to_utf8(const std::u16string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        uint32_t c = text[i];
        if (c >= 0xd800 && c < 0xdc00 && i + 1 < text.size() && text[i + 1] >= 0xdc00 && text[i + 1] < 0xe000)
            c = 0x10000 + ((c - 0xd800) << 10) + (text[++i] - 0xdc00);
        else if (c >= 0xd800 && c < 0xe000)
            c = 0xfffd;
        append_utf8(out, c);
    }
    return out;
}

std::string Line::utf8() const { return to_utf8(text); }

Console::Console() {
    mode_.MaxMode = 1;
    mode_.Mode = 0;
    mode_.Attribute = static_cast<INT32>(efi_text_attr(EFI_LIGHTGRAY, EFI_BACKGROUND_BLACK));
    mode_.CursorVisible = 1;
    protocol_.Mode = &mode_;
}

std::vector<Line> Console::lines() const {
    std::vector<Line> out = finished_;
    if (!current_.text.empty())
        out.push_back(current_);
    return out;
}

std::vector<std::string> Console::messages() const {
    std::vector<std::string> out;
    for (const Line &line : lines()) {
        std::string s = line.utf8();
        size_t at = s.find('@');
        size_t colon = at == std::string::npos ? std::string::npos : s.find(": ", at);
        out.push_back(colon == std::string::npos ? s : s.substr(colon + 2));
    }
    return out;
}

Line Console::last_line() const {
    std::vector<Line> all = lines();
    return all.empty() ? Line{} : all.back();
}

std::string Console::text() const {
    std::string out;
    for (const Line &line : finished_)
        out += line.utf8() + "\n";
    return out + current_.utf8();
}

void Console::bind() {
    fill_unimplemented(protocol_);
    protocol_.OutputString = Entry<Service::ConOutOutputString, fakefw::output_string>::call;
    protocol_.SetAttribute = Entry<Service::ConOutSetAttribute, fakefw::set_attribute>::call;
    protocol_.QueryMode = Entry<Service::ConOutQueryMode, fakefw::query_mode>::call;
    protocol_.EnableCursor = Entry<Service::ConOutEnableCursor, fakefw::enable_cursor>::call;
}

void Console::put(char16_t c) {
    switch (c) {
    case u'\r':
        mode_.CursorColumn = 0;
        return;
    case u'\n':
        finished_.push_back(current_);
        current_ = Line{};
        if (UINTN(mode_.CursorRow) + 1 < ROWS)
            mode_.CursorRow++;
        return;
    case u'\b':
        if (mode_.CursorColumn > 0)
            mode_.CursorColumn--;
        return;
    default:
        break;
    }
    size_t column = size_t(mode_.CursorColumn);
    UINTN attribute = UINTN(mode_.Attribute);
    // After a bare "\n" the cursor keeps its column, so the new line starts with blanks.
    if (current_.text.size() < column) {
        current_.text.resize(column, u' ');
        current_.attributes.resize(column, attribute);
    }
    if (column < current_.text.size()) {
        current_.text[column] = c;
        current_.attributes[column] = attribute;
    } else {
        current_.text += c;
        current_.attributes.push_back(attribute);
    }
    mode_.CursorColumn++;
}

EFI_STATUS Console::output_string(const CHAR16 *s) {
    if (!s) {
        ADD_FAILURE() << "fakefw: OutputString(NULL)";
        return EFI_INVALID_PARAMETER;
    }
    for (; *s; s++)
        put(*s);
    return EFI_SUCCESS;
}

EFI_STATUS Console::set_attribute(UINTN attribute) {
    if (attribute & ~ATTRIBUTE_MASK)
        return EFI_UNSUPPORTED;
    mode_.Attribute = static_cast<INT32>(attribute);
    return EFI_SUCCESS;
}

EFI_STATUS Console::query_mode(UINTN mode, UINTN *columns, UINTN *rows) {
    if (!columns || !rows)
        return EFI_INVALID_PARAMETER;
    if (mode >= UINTN(mode_.MaxMode))
        return EFI_UNSUPPORTED;
    *columns = COLUMNS;
    *rows = ROWS;
    return EFI_SUCCESS;
}

EFI_STATUS Console::enable_cursor(BOOLEAN visible) {
    mode_.CursorVisible = visible;
    return EFI_SUCCESS;
}

} // namespace fakefw
