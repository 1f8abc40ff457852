// The image's SBAT metadata (shim's Secure Boot Advanced Targeting), in a section of its own:
// shim refuses to start an image without it. The first line names the format; the second is
// this program's generation, raised whenever a security fix makes every older build one to
// revoke. An image builder appends the lines of the distribution's builds after these.
#include <stddef.h>

#define KORVANE_SBAT                                                                                                   \
    "sbat,1,SBAT Version,sbat,1,https://github.com/rhboot/shim/blob/main/SBAT.md\n"                                    \
    "korvane-boot,1,The korvane-boot developers,korvane-boot," KORVANE_VERSION "," KORVANE_URL "\n"

namespace {

// The text without the terminating NUL: the section holds CSV lines and nothing else.
template <size_t N> struct SbatText {
    char text[N - 1];
    consteval SbatText(const char (&s)[N]) : text() {
        for (size_t i = 0; i + 1 < N; i++)
            text[i] = s[i];
    }
};

} // namespace

extern "C" __attribute__((section(".sbat"), used)) const SbatText korvane_sbat{KORVANE_SBAT};
