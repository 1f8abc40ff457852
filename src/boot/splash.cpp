#include "splash.h"

#include "efi/console-control.h"
#include "efi/graphics-output.h"
#include "firmware.h"
#include "log.h"
#include "util.h"

namespace korvane {

namespace {

constexpr size_t BMP_MIN_LENGTH = 54;
constexpr uint64_t BMP_FILE_HEADER_SIZE = 14;
constexpr uint32_t BMP_INFO_HEADER_MIN = 40;
constexpr uint32_t BMP_MASKS_HEADER_MIN = 52;
constexpr uint32_t BMP_ALPHA_HEADER_MIN = 56;
constexpr uint64_t BMP_PIXEL_DATA_MAX = 0x4000000;
constexpr uint32_t BI_RGB = 0;
constexpr uint32_t BI_BITFIELDS = 3;
constexpr uint8_t APPLE_BACKGROUND = 0xC0;

uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// One colour channel of a 16- or 32-bit pixel.
struct Channel {
    uint32_t mask;
    unsigned shift;
    uint32_t scale;
};

uint8_t channel_decode(const Channel &c, uint32_t pixel) {
    return static_cast<uint8_t>(((pixel & c.mask) >> c.shift) * c.scale);
}

// A mask with no bit set (scale 255/0) or all 32 set (2^32 overflows) has no defined scale.
bool channel_from_mask(uint32_t mask, Channel *out) {
    unsigned bits = __builtin_popcount(mask);
    if (bits == 0 || bits == 32)
        return false;
    *out = {mask, static_cast<unsigned>(__builtin_ctz(mask)), static_cast<uint32_t>(255 / ((uint64_t(1) << bits) - 1))};
    return true;
}

struct Bmp {
    uint32_t width;
    uint32_t height;
    uint16_t bpp;
    const uint8_t *pixels;
    uint64_t row_size;
    const uint8_t *colour_map;
    uint64_t colour_map_entries;
    Channel red, green, blue, alpha;
    bool has_alpha;
};

bool depth_supported(uint16_t bpp, uint32_t compression) {
    switch (bpp) {
    case 1:
    case 4:
    case 8:
    case 24:
        return compression == BI_RGB;
    case 16:
    case 32:
        return compression == BI_RGB || compression == BI_BITFIELDS;
    default:
        return false;
    }
}

uint64_t declared_colour_map_entries(uint32_t colours_used, uint16_t bpp) {
    if (colours_used != 0)
        return colours_used;
    return bpp <= 8 ? uint64_t(1) << bpp : 0;
}

// The header checks, in order; nothing beyond the fixed 54 bytes is read before the header
// is known to lie inside the section.
EFI_STATUS bmp_check_header(const uint8_t *p, size_t length, Bmp *bmp) {
    if (length < BMP_MIN_LENGTH || p[0] != 'B' || p[1] != 'M')
        return EFI_INVALID_PARAMETER;
    uint32_t file_size = le32(p + 2);
    uint32_t offset = le32(p + 10);
    uint32_t header_size = le32(p + 14);
    if (file_size != length || offset > file_size || header_size < BMP_INFO_HEADER_MIN)
        return EFI_INVALID_PARAMETER;

    bmp->width = le32(p + 18);
    bmp->height = le32(p + 22);
    bmp->bpp = le16(p + 28);
    if (!depth_supported(bmp->bpp, le32(p + 30)))
        return EFI_UNSUPPORTED;

    bmp->row_size = (uint64_t(bmp->width) * bmp->bpp + 31) / 32 * 4;
    uint64_t available = file_size - offset;
    // Width and height come from the file: their product may not even fit 64 bits.
    uint64_t pixel_bytes;
    if (__builtin_mul_overflow(bmp->row_size, uint64_t{bmp->height}, &pixel_bytes) ||
        pixel_bytes > (available < BMP_PIXEL_DATA_MAX ? available : BMP_PIXEL_DATA_MAX))
        return EFI_INVALID_PARAMETER;

    uint64_t map_start = BMP_FILE_HEADER_SIZE + header_size;
    if (offset < map_start)
        return EFI_INVALID_PARAMETER;
    uint64_t gap = offset - map_start;
    if (gap > 0 && gap != 4 * declared_colour_map_entries(le32(p + 46), bmp->bpp))
        return EFI_INVALID_PARAMETER;

    bmp->pixels = p + offset;
    bmp->colour_map = p + map_start;
    bmp->colour_map_entries = gap / 4;
    return EFI_SUCCESS;
}

EFI_STATUS bmp_choose_channels(const uint8_t *p, Bmp *bmp) {
    uint32_t header_size = le32(p + 14);
    bmp->has_alpha = false;
    if (header_size >= BMP_MASKS_HEADER_MIN) {
        if (!channel_from_mask(le32(p + 54), &bmp->red) || !channel_from_mask(le32(p + 58), &bmp->green) ||
            !channel_from_mask(le32(p + 62), &bmp->blue))
            return EFI_INVALID_PARAMETER;
        if (header_size >= BMP_ALPHA_HEADER_MIN && le32(p + 66) != 0) {
            if (!channel_from_mask(le32(p + 66), &bmp->alpha))
                return EFI_INVALID_PARAMETER;
            bmp->has_alpha = true;
        }
    } else if (bmp->bpp == 16) {
        bmp->red = {0x7C00, 10, 8};
        bmp->green = {0x03E0, 5, 8};
        bmp->blue = {0x001F, 0, 8};
    } else {
        bmp->red = {0xFF0000, 16, 1};
        bmp->green = {0xFF00, 8, 1};
        bmp->blue = {0xFF, 0, 1};
    }
    return EFI_SUCCESS;
}

unsigned colour_index(const Bmp &bmp, const uint8_t *row, uint32_t x) {
    switch (bmp.bpp) {
    case 1:
        return (row[x / 8] >> (7 - x % 8)) & 0x1;
    case 4:
        return (row[x / 2] >> (x % 2 ? 0 : 4)) & 0xF;
    default:
        return row[x];
    }
}

// The colour map holds only the entries between header and pixel data, so every index used
// must lie within them.
bool bmp_indexes_in_map(const Bmp &bmp) {
    if (bmp.colour_map_entries >= (uint64_t(1) << bmp.bpp))
        return true;
    for (uint32_t r = 0; r < bmp.height; r++)
        for (uint32_t x = 0; x < bmp.width; x++)
            if (colour_index(bmp, bmp.pixels + r * bmp.row_size, x) >= bmp.colour_map_entries)
                return false;
    return true;
}

EFI_STATUS bmp_parse(const uint8_t *p, size_t length, Bmp *bmp) {
    EFI_STATUS err = bmp_check_header(p, length, bmp);
    if (err != EFI_SUCCESS)
        return err;
    if (bmp->bpp == 16 || bmp->bpp == 32)
        return bmp_choose_channels(p, bmp);
    if (bmp->bpp <= 8 && !bmp_indexes_in_map(*bmp))
        return EFI_INVALID_PARAMETER;
    return EFI_SUCCESS;
}

uint8_t blend(uint8_t colour, uint8_t screen, uint8_t alpha) {
    return static_cast<uint8_t>((colour * alpha + screen * (255 - alpha)) >> 8);
}

void set_colour(EFI_GRAPHICS_OUTPUT_BLT_PIXEL *out, const uint8_t *bgr) {
    out->Blue = bgr[0];
    out->Green = bgr[1];
    out->Red = bgr[2];
}

void convert_masked(const Bmp &bmp, uint32_t pixel, EFI_GRAPHICS_OUTPUT_BLT_PIXEL *out) {
    uint8_t alpha = bmp.has_alpha ? channel_decode(bmp.alpha, pixel) : 255;
    out->Blue = blend(channel_decode(bmp.blue, pixel), out->Blue, alpha);
    out->Green = blend(channel_decode(bmp.green, pixel), out->Green, alpha);
    out->Red = blend(channel_decode(bmp.red, pixel), out->Red, alpha);
}

void convert_row(const Bmp &bmp, const uint8_t *row, EFI_GRAPHICS_OUTPUT_BLT_PIXEL *out) {
    for (uint32_t x = 0; x < bmp.width; x++)
        switch (bmp.bpp) {
        case 24:
            set_colour(out + x, row + 3 * x);
            break;
        case 16:
            convert_masked(bmp, le16(row + 2 * x), out + x);
            break;
        case 32:
            convert_masked(bmp, le32(row + 4 * x), out + x);
            break;
        default:
            set_colour(out + x, bmp.colour_map + 4 * colour_index(bmp, row, x));
        }
}

// Rows are stored bottom-up; `buffer` holds what the screen showed under the image.
void bmp_convert(const Bmp &bmp, EFI_GRAPHICS_OUTPUT_BLT_PIXEL *buffer) {
    for (uint32_t r = 0; r < bmp.height; r++)
        convert_row(bmp, bmp.pixels + r * bmp.row_size, buffer + size_t(bmp.height - 1 - r) * bmp.width);
}

EFI_GRAPHICS_OUTPUT_BLT_PIXEL splash_background() {
    if (str16_case_compare(ST->FirmwareVendor, u"Apple") == 0)
        return {APPLE_BACKGROUND, APPLE_BACKGROUND, APPLE_BACKGROUND, 0};
    return {0, 0, 0, 0};
}

UINTN centred(uint32_t image, uint32_t screen) { return image < screen ? (screen - image) / 2 : 0; }

} // namespace

EFI_STATUS graphics_splash(const void *content, size_t length) {
    EFI_GRAPHICS_OUTPUT_BLT_PIXEL background = splash_background();
    EFI_GRAPHICS_OUTPUT_PROTOCOL *gop = nullptr;
    EFI_STATUS err = BS->LocateProtocol(&EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID, nullptr, reinterpret_cast<void **>(&gop));
    if (err != EFI_SUCCESS)
        return err;

    Bmp bmp;
    err = bmp_parse(static_cast<const uint8_t *>(content), length, &bmp);
    if (err != EFI_SUCCESS)
        return err;

    uint32_t screen_width = gop->Mode->Info->HorizontalResolution;
    uint32_t screen_height = gop->Mode->Info->VerticalResolution;
    UINTN x = centred(bmp.width, screen_width);
    UINTN y = centred(bmp.height, screen_height);

    err = gop->Blt(gop, &background, EfiBltVideoFill, 0, 0, 0, 0, screen_width, screen_height, 0);
    if (err != EFI_SUCCESS)
        return err;

    // The section chooses the size (up to 2 GiB for 64 MiB of 1-bit pixels): a buffer the
    // firmware cannot give only ends the splash.
    PoolPtr<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> buffer(static_cast<EFI_GRAPHICS_OUTPUT_BLT_PIXEL *>(
        try_malloc(size_t(bmp.width) * bmp.height * sizeof(EFI_GRAPHICS_OUTPUT_BLT_PIXEL))));
    if (!buffer)
        return EFI_OUT_OF_RESOURCES;
    err = gop->Blt(gop, buffer.get(), EfiBltVideoToBltBuffer, x, y, 0, 0, bmp.width, bmp.height, 0);
    if (err != EFI_SUCCESS)
        return err;

    bmp_convert(bmp, buffer.get());

    err = set_console_graphics(true);
    if (err != EFI_SUCCESS)
        return err;
    return gop->Blt(gop, buffer.get(), EfiBltBufferToVideo, 0, 0, x, y, bmp.width, bmp.height, 0);
}

void display_splash(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const PeSectionSpan sections[IMAGE_SECTION_COUNT]) {
    const PeSectionSpan &splash = sections[SECTION_SPLASH];
    if (splash.mem_size == 0)
        return;
    (void)graphics_splash(static_cast<const uint8_t *>(loaded_image->ImageBase) + splash.mem_offset, splash.mem_size);
}

EFI_STATUS set_console_graphics(bool on) {
    EFI_CONSOLE_CONTROL_PROTOCOL *control = nullptr;
    EFI_STATUS err =
        BS->LocateProtocol(&EFI_CONSOLE_CONTROL_PROTOCOL_GUID, nullptr, reinterpret_cast<void **>(&control));
    if (err == EFI_NOT_FOUND)
        return EFI_SUCCESS;
    if (err != EFI_SUCCESS)
        return err;

    EFI_CONSOLE_CONTROL_SCREEN_MODE current;
    BOOLEAN adapter, input_locked;
    err = control->GetMode(control, &current, &adapter, &input_locked);
    if (err != EFI_SUCCESS)
        return err;

    EFI_CONSOLE_CONTROL_SCREEN_MODE wanted = on ? EfiConsoleControlScreenGraphics : EfiConsoleControlScreenText;
    if (current == wanted)
        return EFI_SUCCESS;

    // Pending messages would vanish with the text screen.
    log_stall();
    err = control->SetMode(control, wanted);
    // A mode switch can turn the cursor back on.
    ST->ConOut->EnableCursor(ST->ConOut, false);
    return err;
}

} // namespace korvane
