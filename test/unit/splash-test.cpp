// The splash: BMPs are built here pixel by pixel, and the expected screen is computed here from
// the colours put in, with the BMP channel scaling and the blend written out independently.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "boot/log.h"
#include "boot/splash.h"
#include "fakefw/console-control.h"
#include "fakefw/fakefw.h"
#include "fakefw/graphics-output.h"

namespace {

using namespace korvane;
using Pixel = EFI_GRAPHICS_OUTPUT_BLT_PIXEL;

struct Rgb {
    uint8_t r, g, b;
};

// What the test wants drawn: a logical image, top row first, in one of the BMP encodings.
struct BmpSpec {
    uint32_t width = 0, height = 0;
    uint16_t bpp = 24;
    uint32_t compression = 0;
    uint32_t header_size = 40;
    uint32_t colours_used = 0;
    uint32_t masks[4] = {};              // red, green, blue, alpha; written when the header has room
    std::vector<Rgb> colour_map;          // written between header and pixel data
    std::vector<uint32_t> pixels;         // per pixel: colour index, packed 0xRRGGBB (24 bit) or raw value
};

void put_le(std::vector<uint8_t> &out, size_t at, uint64_t value, unsigned bytes) {
    for (unsigned i = 0; i < bytes; i++)
        out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

std::vector<uint8_t> encode_row(const BmpSpec &s, uint32_t y) {
    size_t row_size = (size_t(s.width) * s.bpp + 31) / 32 * 4;
    std::vector<uint8_t> row(row_size, 0);
    for (uint32_t x = 0; x < s.width; x++) {
        uint32_t v = s.pixels[size_t(y) * s.width + x];
        size_t bit = size_t(x) * s.bpp;
        if (s.bpp < 8)
            row[bit / 8] |= static_cast<uint8_t>(v << (8 - s.bpp - bit % 8));
        else
            put_le(row, bit / 8, v, s.bpp / 8);
    }
    return row;
}

std::vector<uint8_t> build_bmp(const BmpSpec &s) {
    std::vector<uint8_t> out(14 + s.header_size, 0);
    out[0] = 'B';
    out[1] = 'M';
    put_le(out, 14, s.header_size, 4);
    put_le(out, 18, s.width, 4);
    put_le(out, 22, s.height, 4);
    put_le(out, 26, 1, 2);
    put_le(out, 28, s.bpp, 2);
    put_le(out, 30, s.compression, 4);
    put_le(out, 46, s.colours_used, 4);
    for (unsigned i = 0; i < 4 && 40 + 4 * (i + 1) <= s.header_size; i++)
        put_le(out, 54 + 4 * i, s.masks[i], 4);
    for (const Rgb &c : s.colour_map)
        out.insert(out.end(), {c.b, c.g, c.r, 0});
    put_le(out, 10, out.size(), 4);
    for (uint32_t y = s.height; y-- > 0;) {
        std::vector<uint8_t> row = encode_row(s, y);
        out.insert(out.end(), row.begin(), row.end());
    }
    put_le(out, 2, out.size(), 4);
    return out;
}

// A heap copy of exactly the bytes, so that ASan sees any read past the end.
struct Exact {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size;
    explicit Exact(const std::vector<uint8_t> &v, size_t n) : bytes(new uint8_t[n ? n : 1]), size(n) {
        memcpy(bytes.get(), v.data(), n);
    }
    explicit Exact(const std::vector<uint8_t> &v) : Exact(v, v.size()) {}
};

EFI_STATUS splash(const std::vector<uint8_t> &bmp) {
    Exact e(bmp);
    return graphics_splash(e.bytes.get(), e.size);
}

// The BMP channel value of a masked pixel, scaled to 8 bits.
uint8_t scaled(uint32_t pixel, uint32_t mask) {
    unsigned shift = 0, bits = 0;
    while (!(mask >> shift & 1))
        shift++;
    for (uint32_t m = mask >> shift; m & 1; m >>= 1)
        bits++;
    uint32_t value = (pixel & mask) >> shift;
    return static_cast<uint8_t>(value * (255 / ((1u << bits) - 1)));
}

uint8_t blended(uint8_t colour, uint8_t screen, uint8_t alpha) {
    return static_cast<uint8_t>((colour * alpha + screen * (255 - alpha)) >> 8);
}

bool same(const Pixel &a, const Rgb &b) { return a.Red == b.r && a.Green == b.g && a.Blue == b.b; }

class Splash : public ::testing::Test {
protected:
    static constexpr uint32_t W = 33, H = 20;
    fakefw::Firmware fw;
    fakefw::GraphicsOutput gop{fw, {.width = W, .height = H}};

    void SetUp() override {
        gop.install();
        gop.fill({0x11, 0x22, 0x33, 0x44});
    }

    // Checks the whole screen: background outside the image, `expected(x, y)` inside it.
    template <typename F> void expect_screen(uint32_t w, uint32_t h, Rgb background, F expected) {
        uint32_t x0 = w < W ? (W - w) / 2 : 0, y0 = h < H ? (H - h) / 2 : 0;
        for (uint32_t y = 0; y < H; y++)
            for (uint32_t x = 0; x < W; x++) {
                bool inside = x >= x0 && x < x0 + w && y >= y0 && y < y0 + h;
                Rgb want = inside ? expected(x - x0, y - y0) : background;
                const Pixel &p = gop.pixel(x, y);
                ASSERT_TRUE(same(p, want)) << "at " << x << "," << y << ": got " << int(p.Red) << "/"
                                           << int(p.Green) << "/" << int(p.Blue) << ", want " << int(want.r)
                                           << "/" << int(want.g) << "/" << int(want.b);
            }
    }

    // Nothing drawn since the first `blits` Blt calls, and the screen as the test left it.
    void expect_untouched(size_t blits = 0) {
        EXPECT_EQ(gop.calls().size(), blits);
        EXPECT_TRUE(same(gop.pixel(0, 0), {0x33, 0x22, 0x11}));
    }
};

constexpr Rgb BLACK = {0, 0, 0};
const std::vector<Rgb> PALETTE = {{0xff, 0, 0}, {0, 0xff, 0}, {0, 0, 0xff}, {0x12, 0x34, 0x56},
                                  {0xff, 0xff, 0xff}, {0x80, 0x40, 0x20}, {1, 2, 3}, {0xfe, 0xdc, 0xba}};

BmpSpec palette_image(uint16_t bpp, uint32_t w, uint32_t h, size_t entries) {
    BmpSpec s{.width = w, .height = h, .bpp = bpp};
    for (size_t i = 0; i < entries; i++)
        s.colour_map.push_back(PALETTE[i % PALETTE.size()]);
    s.colours_used = static_cast<uint32_t>(entries);
    for (uint32_t i = 0; i < w * h; i++)
        s.pixels.push_back((i * 7 + i / w) % entries);
    return s;
}

TEST_F(Splash, PaletteImagesOfEveryDepthAreDrawnCentred) {
    struct Case {
        uint16_t bpp;
        uint32_t w, h;
        size_t entries;
        bool colours_used_zero;
    } cases[] = {
        {1, 10, 5, 2, true}, // two bytes of bits plus two of row fill; the last 6 bits unused
        {4, 7, 4, 16, true}, // odd width: the low nibble of the last byte is unused
        {4, 5, 3, 6, false},
        {8, 9, 6, 256, true}, // colours used 0: the map must be all 1024 bytes
        {8, 3, 3, 8, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.bpp << " bit, " << c.w << "x" << c.h);
        BmpSpec s = palette_image(c.bpp, c.w, c.h, c.entries);
        if (c.colours_used_zero)
            s.colours_used = 0;
        ASSERT_EQ(splash(build_bmp(s)), EFI_SUCCESS);
        expect_screen(c.w, c.h, BLACK, [&](uint32_t x, uint32_t y) { return s.colour_map[s.pixels[y * c.w + x]]; });
    }
    EXPECT_TRUE(fw.check_leaks());
}

TEST_F(Splash, TwentyFourBitImageIsDrawnWithTheBlitsInOrder) {
    BmpSpec s{.width = 5, .height = 3, .bpp = 24};
    for (uint32_t i = 0; i < 15; i++)
        s.pixels.push_back(0x010203 * (i + 1) + 0x400000 * (i % 3));
    ASSERT_EQ(splash(build_bmp(s)), EFI_SUCCESS);
    expect_screen(5, 3, BLACK, [&](uint32_t x, uint32_t y) {
        uint32_t v = s.pixels[y * 5 + x];
        return Rgb{uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    });

    const auto &calls = gop.calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].operation, EfiBltVideoFill);
    EXPECT_EQ(calls[0].width, W);
    EXPECT_EQ(calls[0].height, H);
    EXPECT_EQ(calls[1].operation, EfiBltVideoToBltBuffer);
    EXPECT_EQ(calls[1].source_x, (W - 5) / 2);
    EXPECT_EQ(calls[1].source_y, (H - 3) / 2);
    EXPECT_EQ(calls[2].operation, EfiBltBufferToVideo);
    EXPECT_EQ(calls[2].destination_x, (W - 5) / 2);
    EXPECT_EQ(calls[2].destination_y, (H - 3) / 2);
    for (const auto &c : calls)
        EXPECT_EQ(c.delta, 0u);
}

TEST_F(Splash, SixteenBitImagesDecodeTheirChannels) {
    // A 40-byte header means 5 bits per channel: 31 scales to 248 and is drawn as 247.
    BmpSpec plain{.width = 4, .height = 2, .bpp = 16};
    plain.pixels = {0x7C00, 0x03E0, 0x001F, 0x7FFF, 0x0000, 0x4210, 0x1234, 0x5A5A};
    ASSERT_EQ(splash(build_bmp(plain)), EFI_SUCCESS);
    expect_screen(4, 2, BLACK, [&](uint32_t x, uint32_t y) {
        uint32_t v = plain.pixels[y * 4 + x];
        return Rgb{blended(scaled(v, 0x7C00), 0, 255), blended(scaled(v, 0x03E0), 0, 255),
                   blended(scaled(v, 0x001F), 0, 255)};
    });
    EXPECT_TRUE(same(gop.pixel((W - 4) / 2 + 3, (H - 2) / 2), {247, 247, 247}));

    // 5-6-5 masks from a 52-byte header.
    BmpSpec masked{.width = 3, .height = 3, .bpp = 16, .compression = 3, .header_size = 52,
                   .masks = {0xF800, 0x07E0, 0x001F, 0}};
    masked.pixels = {0xF800, 0x07E0, 0x001F, 0xFFFF, 0x8410, 0x1234, 0xABCD, 0x0001, 0x0820};
    ASSERT_EQ(splash(build_bmp(masked)), EFI_SUCCESS);
    expect_screen(3, 3, BLACK, [&](uint32_t x, uint32_t y) {
        uint32_t v = masked.pixels[y * 3 + x];
        return Rgb{blended(scaled(v, 0xF800), 0, 255), blended(scaled(v, 0x07E0), 0, 255),
                   blended(scaled(v, 0x001F), 0, 255)};
    });
}

TEST_F(Splash, ThirtyTwoBitImagesBlendWithTheirAlpha) {
    fw.set_firmware_vendor(u"APPLE");
    const Rgb grey = {0xC0, 0xC0, 0xC0};
    BmpSpec s{.width = 4, .height = 2, .bpp = 32, .compression = 3, .header_size = 56,
              .masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000}};
    s.pixels = {0x00FF8040, 0xFFFF8040, 0x80102030, 0x01FFFFFF, 0xFE000000, 0x7F7F7F7F, 0xFF000000, 0x00000000};
    ASSERT_EQ(splash(build_bmp(s)), EFI_SUCCESS);
    expect_screen(4, 2, grey, [&](uint32_t x, uint32_t y) {
        uint32_t v = s.pixels[y * 4 + x];
        uint8_t a = scaled(v, 0xFF000000);
        return Rgb{blended(scaled(v, 0xFF0000), 0xC0, a), blended(scaled(v, 0xFF00), 0xC0, a),
                   blended(scaled(v, 0xFF), 0xC0, a)};
    });
    // Alpha 0 keeps the background, as background x 255 >> 8; alpha 255 gives colour x 255 >> 8.
    EXPECT_TRUE(same(gop.pixel((W - 4) / 2, (H - 2) / 2), {0xBF, 0xBF, 0xBF}));
    EXPECT_TRUE(same(gop.pixel((W - 4) / 2 + 1, (H - 2) / 2), {0xFE, 0x7F, 0x3F}));

    // Without masks in the header: 8-8-8, opaque, whatever the top byte says.
    BmpSpec plain{.width = 2, .height = 1, .bpp = 32};
    plain.pixels = {0x00123456, 0xAB654321};
    ASSERT_EQ(splash(build_bmp(plain)), EFI_SUCCESS);
    expect_screen(2, 1, grey, [&](uint32_t x, uint32_t) {
        uint32_t v = plain.pixels[x];
        return Rgb{blended(uint8_t(v >> 16), 0xC0, 255), blended(uint8_t(v >> 8), 0xC0, 255),
                   blended(uint8_t(v), 0xC0, 255)};
    });

    // A zero alpha mask in a 56-byte header means no alpha.
    s.masks[3] = 0;
    ASSERT_EQ(splash(build_bmp(s)), EFI_SUCCESS);
    EXPECT_TRUE(same(gop.pixel((W - 4) / 2, (H - 2) / 2), {0xFE, 0x7F, 0x3F}));
}

TEST_F(Splash, BackgroundIsGreyOnlyForApple) {
    BmpSpec s{.width = 1, .height = 1, .bpp = 24, .pixels = {0x123456}};
    for (auto [vendor, grey] : {std::pair{u"apple", true}, {u"ApPlE", true}, {u"Apple Inc.", false},
                                {u"EDK II", false}}) {
        fw.set_firmware_vendor(vendor);
        ASSERT_EQ(splash(build_bmp(s)), EFI_SUCCESS);
        uint8_t v = grey ? 0xC0 : 0;
        expect_screen(1, 1, {v, v, v}, [](uint32_t, uint32_t) { return Rgb{0x12, 0x34, 0x56}; });
    }
}

TEST_F(Splash, ImageLargerThanTheScreenIsPlacedAtTheOrigin) {
    BmpSpec s{.width = W + 1, .height = 2, .bpp = 24};
    s.pixels.assign((W + 1) * 2, 0xFFFFFF);
    EXPECT_EQ(splash(build_bmp(s)), EFI_INVALID_PARAMETER); // the fake rejects rectangles off the screen
    ASSERT_EQ(gop.calls().size(), 2u);
    EXPECT_EQ(gop.calls()[1].source_x, 0u);
    EXPECT_EQ(gop.calls()[1].source_y, (H - 2) / 2);
    expect_screen(0, 0, BLACK, [](uint32_t, uint32_t) { return BLACK; });
    EXPECT_TRUE(fw.check_leaks());
}

BmpSpec small_24() {
    BmpSpec s{.width = 3, .height = 2, .bpp = 24};
    s.pixels = {1, 2, 3, 4, 5, 6};
    return s;
}

TEST_F(Splash, HeaderChecksRejectInOrderAndDrawNothing) {
    struct Case {
        const char *what;
        void (*mutate)(std::vector<uint8_t> &);
        EFI_STATUS status;
    } cases[] = {
        {"length below 54", [](std::vector<uint8_t> &b) { b.resize(53); put_le(b, 2, 53, 4); }, EFI_INVALID_PARAMETER},
        {"signature", [](std::vector<uint8_t> &b) { b[1] = 'N'; }, EFI_INVALID_PARAMETER},
        {"file size one more", [](std::vector<uint8_t> &b) { put_le(b, 2, b.size() + 1, 4); }, EFI_INVALID_PARAMETER},
        {"file size one less", [](std::vector<uint8_t> &b) { put_le(b, 2, b.size() - 1, 4); }, EFI_INVALID_PARAMETER},
        {"file size before depth", [](std::vector<uint8_t> &b) { put_le(b, 2, 0, 4); put_le(b, 28, 2, 2); },
         EFI_INVALID_PARAMETER},
        {"pixel offset past the end", [](std::vector<uint8_t> &b) { put_le(b, 10, b.size() + 1, 4); },
         EFI_INVALID_PARAMETER},
        {"header size 39", [](std::vector<uint8_t> &b) { put_le(b, 14, 39, 4); }, EFI_INVALID_PARAMETER},
        {"header size before depth", [](std::vector<uint8_t> &b) { put_le(b, 14, 12, 4); put_le(b, 28, 2, 2); },
         EFI_INVALID_PARAMETER},
        {"2 bits per pixel", [](std::vector<uint8_t> &b) { put_le(b, 28, 2, 2); }, EFI_UNSUPPORTED},
        {"24 bits with bit fields", [](std::vector<uint8_t> &b) { put_le(b, 30, 3, 4); }, EFI_UNSUPPORTED},
        {"32 bits compressed", [](std::vector<uint8_t> &b) { put_le(b, 28, 32, 2); put_le(b, 30, 1, 4); },
         EFI_UNSUPPORTED},
        {"depth before pixel data size", [](std::vector<uint8_t> &b) { put_le(b, 28, 2, 2); put_le(b, 22, 1000, 4); },
         EFI_UNSUPPORTED},
        {"one row too many", [](std::vector<uint8_t> &b) { put_le(b, 22, 3, 4); }, EFI_INVALID_PARAMETER},
        {"height wraps in 32 bits",
         [](std::vector<uint8_t> &b) { put_le(b, 22, 0x80000001u, 4); put_le(b, 18, 0x80000000u, 4); },
         EFI_INVALID_PARAMETER},
        {"row bytes times height wrap in 64 bits",
         [](std::vector<uint8_t> &b) { put_le(b, 28, 32, 2); put_le(b, 18, 0x80000000u, 4); put_le(b, 22, 0x80000000u, 4); },
         EFI_INVALID_PARAMETER},
        {"pixel data inside the header", [](std::vector<uint8_t> &b) { put_le(b, 10, 53, 4); put_le(b, 22, 1, 4); },
         EFI_INVALID_PARAMETER},
        {"size before offset", [](std::vector<uint8_t> &b) { put_le(b, 10, 53, 4); }, EFI_INVALID_PARAMETER},
    };
    std::vector<uint8_t> good = build_bmp(small_24());
    ASSERT_EQ(splash(good), EFI_SUCCESS);
    gop.fill({0x11, 0x22, 0x33, 0});
    unsigned blits = gop.calls().size();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> b = good;
        c.mutate(b);
        EXPECT_EQ(splash(b), c.status);
        expect_untouched(blits);
    }
}

TEST_F(Splash, GapBetweenHeaderAndPixelsMustBeTheWholeColourMap) {
    // 24 bit: pixel data right after the header is drawn; one byte between is refused.
    std::vector<uint8_t> tight = build_bmp(small_24());
    ASSERT_EQ(splash(tight), EFI_SUCCESS);
    std::vector<uint8_t> gap = tight;
    gap.insert(gap.begin() + 54, 0);
    put_le(gap, 10, 55, 4);
    put_le(gap, 2, gap.size(), 4);
    EXPECT_EQ(splash(gap), EFI_INVALID_PARAMETER);

    // 8 bit, colours used 0: 256 entries or nothing.
    BmpSpec s = palette_image(8, 2, 2, 255);
    s.colours_used = 0;
    EXPECT_EQ(splash(build_bmp(s)), EFI_INVALID_PARAMETER);
    s.colour_map.push_back({1, 1, 1});
    EXPECT_EQ(splash(build_bmp(s)), EFI_SUCCESS);
    // Colours used names the size of the map.
    s.colours_used = 255;
    EXPECT_EQ(splash(build_bmp(s)), EFI_INVALID_PARAMETER);
}

TEST_F(Splash, ColourIndexBeyondTheMapIsRefused) {
    BmpSpec s = palette_image(8, 3, 2, 4);
    ASSERT_EQ(splash(build_bmp(s)), EFI_SUCCESS);
    gop.fill({0x11, 0x22, 0x33, 0});
    unsigned blits = gop.calls().size();
    s.pixels[5] = 4; // one past the last entry
    EXPECT_EQ(splash(build_bmp(s)), EFI_INVALID_PARAMETER);

    // A palette image with no colour map at all.
    BmpSpec bare = palette_image(1, 9, 2, 2);
    bare.colour_map.clear();
    bare.colours_used = 0;
    EXPECT_EQ(splash(build_bmp(bare)), EFI_INVALID_PARAMETER);
    expect_untouched(blits);

    // Unused bits of a row may hold anything: only the pixels inside the width count.
    BmpSpec one = palette_image(1, 9, 1, 1);
    std::vector<uint8_t> b = build_bmp(one);
    b[b.size() - 3] = 0x7F; // bits 10 to 16 of the row, past the width of 9
    EXPECT_EQ(splash(b), EFI_SUCCESS);
}

TEST_F(Splash, MasksWithoutAScaleAreRefused) {
    for (uint32_t bad : {0u, 0xFFFFFFFFu})
        for (unsigned channel = 0; channel < 4; channel++) {
            if (channel == 3 && bad == 0)
                continue; // a zero alpha mask only means no alpha
            BmpSpec s{.width = 2, .height = 1, .bpp = 32, .compression = 3, .header_size = 56,
                      .masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, .pixels = {0xFFFFFFFF, 0x12345678}};
            s.masks[channel] = bad;
            SCOPED_TRACE(testing::Message() << "channel " << channel << " mask " << bad);
            EXPECT_EQ(splash(build_bmp(s)), EFI_INVALID_PARAMETER);
        }
    expect_untouched();
}

TEST_F(Splash, TruncatedAndLargeImagesNeverReadOutside) {
    std::vector<BmpSpec> specs = {small_24(), palette_image(1, 10, 3, 2), palette_image(4, 5, 3, 16),
                                  palette_image(8, 4, 4, 256)};
    BmpSpec alpha{.width = 3, .height = 2, .bpp = 32, .compression = 3, .header_size = 56,
                  .masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, .pixels = {1, 2, 3, 4, 5, 6}};
    specs.push_back(alpha);
    for (const BmpSpec &s : specs) {
        std::vector<uint8_t> full = build_bmp(s);
        for (size_t n = 0; n < full.size(); n++) {
            std::vector<uint8_t> cut = full;
            if (n >= 6)
                put_le(cut, 2, n, 4); // the header agrees with the cut length
            Exact e(cut, n);
            ASSERT_NE(graphics_splash(e.bytes.get(), e.size), EFI_SUCCESS) << s.bpp << " bit cut to " << n;
        }
    }
    EXPECT_EQ(graphics_splash(nullptr, 0), EFI_INVALID_PARAMETER);

    // Pixel data above 64 MiB is refused before anything is allocated or drawn.
    BmpSpec big{.width = 4096, .height = 4097, .bpp = 32};
    big.pixels.assign(size_t(4096) * 4097, 0);
    unsigned allocations = fw.calls(fakefw::Service::AllocatePool);
    EXPECT_EQ(splash(build_bmp(big)), EFI_INVALID_PARAMETER);
    EXPECT_EQ(fw.calls(fakefw::Service::AllocatePool), allocations);
    EXPECT_TRUE(gop.calls().empty());
}

TEST_F(Splash, FirmwareFailuresEndTheSplashWithoutLeaks) {
    std::vector<uint8_t> bmp = build_bmp(small_24());

    gop.fail_blt(EFI_DEVICE_ERROR, 0, 1); // the fill
    EXPECT_EQ(splash(bmp), EFI_DEVICE_ERROR);
    expect_untouched(1);

    gop.fail_blt(EFI_DEVICE_ERROR, 1, 1); // the read-back
    EXPECT_EQ(splash(bmp), EFI_DEVICE_ERROR);
    expect_screen(0, 0, BLACK, [](uint32_t, uint32_t) { return BLACK; });

    gop.fail_blt(EFI_UNSUPPORTED, 2, 1); // the draw
    EXPECT_EQ(splash(bmp), EFI_UNSUPPORTED);
    expect_screen(0, 0, BLACK, [](uint32_t, uint32_t) { return BLACK; });
    EXPECT_TRUE(fw.check_leaks());

    gop.uninstall();
    EXPECT_EQ(splash(bmp), EFI_NOT_FOUND);
}

TEST_F(Splash, SwitchesTheConsoleToGraphicsBeforeDrawing) {
    fakefw::ConsoleControl control(fw);
    control.install();
    std::vector<uint8_t> bmp = build_bmp(small_24());

    control.fail_set_mode(EFI_DEVICE_ERROR, 0, 1);
    EXPECT_EQ(splash(bmp), EFI_DEVICE_ERROR);
    ASSERT_EQ(gop.calls().size(), 2u); // filled and read back, never drawn
    expect_screen(0, 0, BLACK, [](uint32_t, uint32_t) { return BLACK; });
    EXPECT_TRUE(fw.check_leaks());

    EXPECT_EQ(splash(bmp), EFI_SUCCESS);
    EXPECT_EQ(control.mode(), EfiConsoleControlScreenGraphics);
    EXPECT_EQ(gop.calls().back().operation, EfiBltBufferToVideo);
}

TEST(DisplaySplash, DrawsOnlyWhenTheSectionIsPresent) {
    fakefw::Firmware fw;
    fakefw::GraphicsOutput gop(fw, {.width = 8, .height = 8});
    gop.install();
    std::vector<uint8_t> bmp = build_bmp(small_24());
    std::vector<uint8_t> image(0x100, 0xEE);
    image.insert(image.end(), bmp.begin(), bmp.end());
    EFI_LOADED_IMAGE_PROTOCOL loaded = {};
    loaded.ImageBase = image.data();
    PeSectionSpan sections[IMAGE_SECTION_COUNT] = {};

    display_splash(&loaded, sections);
    EXPECT_EQ(fw.calls(fakefw::Service::LocateProtocol), 0u);
    EXPECT_TRUE(gop.calls().empty());

    sections[SECTION_SPLASH] = {.mem_size = bmp.size(), .mem_offset = 0x100};
    display_splash(&loaded, sections);
    ASSERT_EQ(gop.calls().size(), 3u);
    EXPECT_EQ(gop.pixel(2, 3).Blue, 1); // bottom-left pixel of the image is its first stored one
}

class ConsoleGraphics : public ::testing::Test {
protected:
    fakefw::Firmware fw;

    void log_messages(unsigned n) {
        for (unsigned i = 0; i < n; i++)
            log_error(EFI_SUCCESS, "message %u", i);
    }
};

TEST_F(ConsoleGraphics, WithoutTheProtocolNothingIsSwitched) {
    log_messages(2);
    EXPECT_EQ(set_console_graphics(true), EFI_SUCCESS);
    EXPECT_EQ(set_console_graphics(false), EFI_SUCCESS);
    EXPECT_TRUE(fw.clock().stalls().empty());
    EXPECT_EQ(fw.calls(fakefw::Service::ConOutEnableCursor), 0u);
    EXPECT_EQ(logged_count, 2u);

    fw.fail(fakefw::Service::LocateProtocol, EFI_DEVICE_ERROR);
    EXPECT_EQ(set_console_graphics(true), EFI_DEVICE_ERROR);
}

TEST_F(ConsoleGraphics, SwitchPausesForMessagesThenHidesTheCursor) {
    fakefw::ConsoleControl control(fw, EfiConsoleControlScreenGraphics);
    control.install();
    fw.console().mode().CursorVisible = true;

    // Already in the wanted mode: no pause, no switch.
    log_messages(3);
    EXPECT_EQ(set_console_graphics(true), EFI_SUCCESS);
    EXPECT_TRUE(fw.clock().stalls().empty());
    ASSERT_EQ(control.calls().size(), 1u);
    EXPECT_EQ(control.calls()[0].kind, fakefw::ConsoleControlCall::GetMode);

    // Back to text: the three messages are paused for before the switch.
    EXPECT_EQ(set_console_graphics(false), EFI_SUCCESS);
    EXPECT_EQ(control.mode(), EfiConsoleControlScreenText);
    ASSERT_EQ(control.calls().size(), 3u);
    EXPECT_EQ(control.calls()[2].kind, fakefw::ConsoleControlCall::SetMode);
    EXPECT_EQ(control.calls()[2].mode, EfiConsoleControlScreenText);
    EXPECT_EQ(control.calls()[2].stalled_us, 7500000u);
    EXPECT_EQ(logged_count, 0u);
    EXPECT_FALSE(fw.console().mode().CursorVisible);
    EXPECT_EQ(fw.calls(fakefw::Service::ConOutEnableCursor), 1u);

    // Nothing logged since: switching again does not pause.
    EXPECT_EQ(set_console_graphics(true), EFI_SUCCESS);
    EXPECT_EQ(control.mode(), EfiConsoleControlScreenGraphics);
    EXPECT_EQ(fw.clock().stalls(), std::vector<UINTN>{7500000});
}

TEST_F(ConsoleGraphics, FailuresArePassedUp) {
    fakefw::ConsoleControl control(fw);
    control.install();

    control.fail_get_mode(EFI_DEVICE_ERROR, 0, 1);
    EXPECT_EQ(set_console_graphics(true), EFI_DEVICE_ERROR);
    EXPECT_EQ(control.calls().size(), 1u);

    // A failed switch still hides the cursor; the pause has happened already.
    fw.console().mode().CursorVisible = true;
    log_messages(10);
    control.fail_set_mode(EFI_UNSUPPORTED, 0, 1);
    EXPECT_EQ(set_console_graphics(true), EFI_UNSUPPORTED);
    EXPECT_EQ(control.mode(), EfiConsoleControlScreenText);
    EXPECT_FALSE(fw.console().mode().CursorVisible);
    EXPECT_EQ(fw.clock().stalls(), std::vector<UINTN>{10000000});
}

} // namespace
