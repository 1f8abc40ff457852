#include "string-util-fundamental.h"

#include "assert-fundamental.h"

namespace korvane {

namespace {

template <typename T> size_t nlen(const T *s, size_t n) {
    size_t i = 0;
    while (i < n && s[i] != 0)
        i++;
    return i;
}

template <typename T> int pointer_order(const T *a, const T *b) { return a < b ? -1 : a > b ? 1 : 0; }

template <typename T> int sign(T d) { return d < 0 ? -1 : d > 0 ? 1 : 0; }

} // namespace

size_t str8_len(const char *s) { return nlen(s, SIZE_MAX); }
size_t str16_len(const char16_t *s) { return nlen(s, SIZE_MAX); }
size_t str8_nlen(const char *s, size_t n) { return nlen(s, n); }
size_t str16_nlen(const char16_t *s, size_t n) { return nlen(s, n); }

int str16_compare(const char16_t *a, const char16_t *b) {
    if (!a || !b)
        return pointer_order(a, b);
    for (;; a++, b++)
        if (*a != *b || *a == 0)
            return sign(int(*a) - int(*b));
}

int str16_case_compare(const char16_t *a, const char16_t *b) {
    if (!a || !b)
        return pointer_order(a, b);
    for (;; a++, b++) {
        char16_t ca = char16_lower(*a), cb = char16_lower(*b);
        if (ca != cb || ca == 0)
            return sign(int(ca) - int(cb));
    }
}

int str8_ncompare(const char *a, const char *b, size_t n) {
    if (!a || !b)
        return pointer_order(a, b);
    // Bytes compare as signed values: 0x80..0xFF sort before ASCII.
    for (; n > 0; a++, b++, n--)
        if (*a != *b || *a == 0)
            return sign(int(static_cast<signed char>(*a)) - int(static_cast<signed char>(*b)));
    return 0;
}

const char16_t *endswith_no_case(const char16_t *s, const char16_t *suffix) {
    ASSERT(s);
    ASSERT(suffix);
    size_t n = str16_len(s), k = str16_len(suffix);
    if (k > n)
        return nullptr;
    return str16_case_compare(s + n - k, suffix) == 0 ? s + n - k : nullptr;
}

} // namespace korvane
