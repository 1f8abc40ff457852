#include "report.h"

#include "port-io.h"

namespace korvane::vmtest {

namespace {

constexpr uint16_t COM1 = 0x3f8;
constexpr uint16_t LINE_STATUS = COM1 + 5;
constexpr uint8_t TRANSMIT_EMPTY = 0x20;
// The wait is bounded so that a machine without the port cannot hang the test application.
constexpr unsigned TRANSMIT_WAIT_LIMIT = 100000;

void put(char c) {
    for (unsigned i = 0; i < TRANSMIT_WAIT_LIMIT && !(inb(LINE_STATUS) & TRANSMIT_EMPTY); i++)
        __asm__ volatile("pause");
    outb(COM1, static_cast<uint8_t>(c));
}

void put_string(const char *s) {
    for (; *s; s++)
        put(*s);
}

void put_hex_digit(unsigned v) {
    put("0123456789abcdef"[v & 0xf]);
}

void put_decimal(uint64_t v) {
    char digits[20];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    while (n)
        put(digits[--n]);
}

void put_escaped(char16_t c) {
    if (c == u'\\') {
        put_string("\\\\");
    } else if (c >= 0x20 && c < 0x7f) {
        put(static_cast<char>(c));
    } else {
        put_string("\\u");
        for (int shift = 12; shift >= 0; shift -= 4)
            put_hex_digit(c >> shift);
    }
}

void put_line_end() {
    put('\r');
    put('\n');
}

size_t append(char *buffer, size_t at, size_t capacity, const char *s) {
    for (; *s && at + 1 < capacity; s++)
        buffer[at++] = *s;
    return at;
}

} // namespace

Key::Key(const char *name, size_t index, const char *field) {
    char digits[21];
    size_t n = sizeof(digits) - 1;
    digits[n] = '\0';
    do {
        digits[--n] = static_cast<char>('0' + index % 10);
        index /= 10;
    } while (index);

    size_t at = append(text_, 0, sizeof(text_), name);
    at = append(text_, at, sizeof(text_), ".");
    at = append(text_, at, sizeof(text_), digits + n);
    at = append(text_, at, sizeof(text_), ".");
    at = append(text_, at, sizeof(text_), field);
    text_[at] = '\0';
}

Report::Report(const char *prefix) : prefix_(prefix) {
    put_line_end();
    put_string(prefix_);
    put_string(" begin");
    put_line_end();
}

void Report::open(const char *key) {
    put_string(prefix_);
    put(' ');
    put_string(key);
    put('=');
}

void Report::number(const char *key, uint64_t value) {
    open(key);
    put_decimal(value);
    put_line_end();
}

void Report::status(const char *key, EFI_STATUS value) {
    open(key);
    put_string("0x");
    for (int shift = 60; shift >= 0; shift -= 4)
        put_hex_digit(static_cast<unsigned>(value >> shift));
    put_line_end();
}

void Report::flag(const char *key, bool value) {
    open(key);
    put_string(value ? "yes" : "no");
    put_line_end();
}

void Report::bytes(const char *key, const void *data, size_t size) {
    open(key);
    auto *p = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < size; i++) {
        put_hex_digit(p[i] >> 4);
        put_hex_digit(p[i]);
    }
    put_line_end();
}

void Report::text(const char *key, const char16_t *s, size_t n_units) {
    open(key);
    for (size_t i = 0; i < n_units; i++)
        put_escaped(s[i]);
    put_line_end();
}

void Report::text8(const char *key, const char *s) {
    open(key);
    for (; *s; s++)
        put_escaped(static_cast<uint8_t>(*s));
    put_line_end();
}

void Report::end() {
    put_string(prefix_);
    put_string(" end");
    put_line_end();
}

} // namespace korvane::vmtest
