// The assertion that the shared stub code (src/fundamental) calls: in the tools, a
// programming error ends the program at once.
#include "fundamental/assert-fundamental.h"

#include <cstdio>
#include <cstdlib>

namespace korvane {

void efi_assert(const char *expression, const char *file, unsigned line, const char *function) {
    std::fprintf(stderr, "korvane-uki: assertion '%s' failed at %s:%u@%s\n", expression, file, line, function);
    std::abort();
}

} // namespace korvane
