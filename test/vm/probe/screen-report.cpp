#include "screen-report.h"

#include "boot/efi/graphics-output.h"
#include "boot/firmware.h"
#include "boot/sha256.h"
#include "boot/util.h"

namespace korvane::vmtest {

namespace {

constexpr size_t EXTENT_DUMP_MAX = 16384;

struct Frame {
    const EFI_GRAPHICS_OUTPUT_BLT_PIXEL *pixels;
    uint32_t width, height;

    const EFI_GRAPHICS_OUTPUT_BLT_PIXEL &at(uint32_t x, uint32_t y) const { return pixels[size_t{y} * width + x]; }
};

struct Rect {
    uint32_t x, y, width, height;
};

bool same_colour(const EFI_GRAPHICS_OUTPUT_BLT_PIXEL &a, const EFI_GRAPHICS_OUTPUT_BLT_PIXEL &b) {
    return a.Blue == b.Blue && a.Green == b.Green && a.Red == b.Red;
}

// The reserved byte is not shown; it is cleared so that only the colours count.
void frame_digest(EFI_GRAPHICS_OUTPUT_BLT_PIXEL *pixels, size_t n, uint8_t out[SHA256_DIGEST_SIZE]) {
    for (size_t i = 0; i < n; i++)
        pixels[i].Reserved = 0;
    sha256_direct(pixels, n * sizeof(*pixels), out);
}

Rect differing_extent(const Frame &f) {
    const EFI_GRAPHICS_OUTPUT_BLT_PIXEL &corner = f.at(0, 0);
    uint32_t x0 = f.width, y0 = f.height, x1 = 0, y1 = 0;
    for (uint32_t y = 0; y < f.height; y++)
        for (uint32_t x = 0; x < f.width; x++)
            if (!same_colour(f.at(x, y), corner)) {
                x0 = x < x0 ? x : x0;
                y0 = y < y0 ? y : y0;
                x1 = x > x1 ? x : x1;
                y1 = y > y1 ? y : y1;
            }
    if (x0 == f.width)
        return {};
    return {x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

// One line of hex for the whole rectangle.
void report_pixels(Report &report, const char *key, const Frame &f, const Rect &r) {
    PoolPtr<uint8_t> bytes(xnew<uint8_t>(size_t{r.width} * r.height * 3));
    size_t n = 0;
    for (uint32_t y = r.y; y < r.y + r.height; y++)
        for (uint32_t x = r.x; x < r.x + r.width; x++) {
            bytes[n++] = f.at(x, y).Blue;
            bytes[n++] = f.at(x, y).Green;
            bytes[n++] = f.at(x, y).Red;
        }
    report.bytes(key, bytes.get(), n);
}

} // namespace

void report_screen(Report &report) {
    EFI_GRAPHICS_OUTPUT_PROTOCOL *gop = nullptr;
    EFI_STATUS err = BS->LocateProtocol(&EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID, nullptr, reinterpret_cast<void **>(&gop));
    report.status("screen.locate-status", err);
    if (err != EFI_SUCCESS || !gop)
        return;
    Frame frame = {nullptr, gop->Mode->Info->HorizontalResolution, gop->Mode->Info->VerticalResolution};
    report.number("screen.width", frame.width);
    report.number("screen.height", frame.height);
    if (frame.width == 0 || frame.height == 0)
        return;

    size_t size = size_t{frame.width} * frame.height * sizeof(EFI_GRAPHICS_OUTPUT_BLT_PIXEL);
    Pages pages(xmalloc_pages(AllocateAnyPages, EfiLoaderData, efi_size_to_pages(size), 0));
    auto *buffer = pages.ptr<EFI_GRAPHICS_OUTPUT_BLT_PIXEL>();
    err = gop->Blt(gop, buffer, EfiBltVideoToBltBuffer, 0, 0, 0, 0, frame.width, frame.height, 0);
    report.status("screen.read-status", err);
    if (err != EFI_SUCCESS)
        return;
    frame.pixels = buffer;

    uint8_t digest[SHA256_DIGEST_SIZE];
    frame_digest(buffer, size_t{frame.width} * frame.height, digest);
    report.bytes("screen.sha256", digest, sizeof(digest));
    const uint8_t corner[3] = {buffer[0].Blue, buffer[0].Green, buffer[0].Red};
    report.bytes("screen.corner", corner, sizeof(corner));

    Rect extent = differing_extent(frame);
    report.number("screen.extent.x", extent.x);
    report.number("screen.extent.y", extent.y);
    report.number("screen.extent.width", extent.width);
    report.number("screen.extent.height", extent.height);
    if (extent.width > 0 && size_t{extent.width} * extent.height <= EXTENT_DUMP_MAX)
        report_pixels(report, "screen.extent.pixels", frame, extent);
}

} // namespace korvane::vmtest
