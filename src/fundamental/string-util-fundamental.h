// String helpers with no tie to the firmware. Comparisons return -1, 0 or 1; when either
// argument is null, the pointers themselves are compared, so null sorts first.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace korvane {

size_t str8_len(const char *s);
size_t str16_len(const char16_t *s);
size_t str8_nlen(const char *s, size_t n);
size_t str16_nlen(const char16_t *s, size_t n);

int str16_compare(const char16_t *a, const char16_t *b);
int str16_case_compare(const char16_t *a, const char16_t *b);
int str8_ncompare(const char *a, const char *b, size_t n);

constexpr char16_t char16_lower(char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; }

// Where `suffix` starts at the end of `s`, ignoring ASCII case; null when `s` does not end in it.
const char16_t *endswith_no_case(const char16_t *s, const char16_t *suffix);

} // namespace korvane
