// The few C symbols that the compiler emits calls to in a freestanding image.
#include "util.h"

extern "C" {

void *memcpy(void *dest, const void *src, size_t n) { return korvane::memcpy(dest, src, n); }

// CopyMem is defined to handle overlapping buffers.
void *memmove(void *dest, const void *src, size_t n) { return korvane::memcpy(dest, src, n); }

void *memset(void *p, int c, size_t n) { return korvane::memset(p, c, n); }
}
