// The ".splash" bitmap at every depth on a fake screen. Nothing outside the section is read;
// a bitmap that is accepted has its pixel rows and colour map inside the section, and is
// drawn with its own size.
#include "support.h"

#include <cstring>

#include "boot/splash.h"
#include "fakefw/graphics-output.h"

namespace {

uint32_t le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

// The promise for an accepted bitmap: header, colour map and rows inside the section.
void check_accepted(const uint8_t *p, size_t n, const fakefw::BltCall &draw) {
    FUZZ_CHECK(n >= 54);
    uint32_t offset = le32(p + 10), header = le32(p + 14), width = le32(p + 18), height = le32(p + 22);
    uint16_t bpp = uint16_t(p[28] | p[29] << 8);
    uint64_t row = (uint64_t(width) * bpp + 31) / 32 * 4;
    FUZZ_CHECK(le32(p + 2) == n && 14 + uint64_t(header) <= offset && offset <= n);
    FUZZ_CHECK(row * height <= n - offset);
    FUZZ_CHECK(draw.width == width && draw.height == height);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::with_firmware([&](fakefw::Firmware &fw) {
        fakefw::GraphicsOutput gop(fw, {.width = 320, .height = 200});
        gop.install();
        fuzz::Exact exact(fuzz::Bytes(data, data + size));
        uint8_t *bmp = exact.data();
        EFI_STATUS err = korvane::graphics_splash(bmp, size);
        // The screen is read back under the image only once its header was accepted.
        const fakefw::BltCall *read_back = nullptr, *draw = nullptr;
        for (const fakefw::BltCall &call : gop.calls()) {
            if (call.operation == EfiBltVideoToBltBuffer)
                read_back = &call;
            if (call.operation == EfiBltBufferToVideo)
                draw = &call;
        }
        FUZZ_CHECK((err == EFI_SUCCESS) == (draw && draw->status == EFI_SUCCESS));
        if (read_back)
            check_accepted(bmp, size, *read_back);
    });
    return 0;
}
