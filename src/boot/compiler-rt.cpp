// The few C symbols that the compiler emits calls to in a freestanding image.
#include "firmware.h"
#include "util.h"

extern "C" {

void *memcpy(void *dest, const void *src, size_t n) { return korvane::memcpy(dest, src, n); }

void *memset(void *p, int c, size_t n) { return korvane::memset(p, c, n); }

// CopyMem handles overlapping buffers; the loop for the time before it is known must too.
__attribute__((no_builtin)) void *memmove(void *dest, const void *src, size_t n) {
    if (korvane::BS || dest <= src)
        return korvane::memcpy(dest, src, n);
    auto *d = static_cast<volatile uint8_t *>(dest);
    auto *s = static_cast<const uint8_t *>(src);
    while (n-- > 0)
        d[n] = s[n];
    return dest;
}
}
