// The formatting engine against the fake firmware: conversions and flags, the status texts,
// buffer growth and the pool strings it hands out, console output and the fatal directives.
#include <gtest/gtest.h>

#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <sys/types.h>
#include <vector>

#include "boot/efi-string.h"
#include "boot/util.h"
#include "fakefw/fakefw.h"

namespace {

using fakefw::Service;
using korvane::xformat;

constexpr size_t INLINE_UNITS = 128;

// Bytes zero-extended to units: the expected text of ASCII output.
std::u16string widen(const std::string &s) {
    std::u16string out;
    for (unsigned char c : s)
        out += static_cast<char16_t>(c);
    return out;
}

// The C library's rendering of the directives whose meaning the engine shares with C.
template <typename... Args> std::u16string c_format(const char *format, Args... args) {
    char buf[512];
    int n = snprintf(buf, sizeof(buf), format, args...);
    EXPECT_GE(n, 0);
    EXPECT_LT(n, static_cast<int>(sizeof(buf)));
    return widen(buf);
}

std::string hex(uint64_t v) {
    char buf[32];
    snprintf(buf, sizeof(buf), "0x%" PRIx64, v);
    return buf;
}

class FormatTest : public testing::Test {
protected:
    // Takes a string the engine handed out: it must be a loader-data pool block large enough
    // for its text; the block is freed and its text up to the first zero returned.
    std::u16string take(char16_t *s) {
        const fakefw::PoolBlock *block = fw.memory().pool(s);
        EXPECT_NE(block, nullptr) << "not a live pool allocation";
        if (!block)
            return u"";
        EXPECT_EQ(block->type, EfiLoaderData);
        std::u16string text(s);
        EXPECT_GE(block->size, (text.size() + 1) * sizeof(char16_t));
        korvane::free_pool(s);
        return text;
    }

    // All units of a pool string, embedded zeros included.
    std::u16string take_units(char16_t *s) {
        std::u16string units(s, fw.memory().pool_size(s) / sizeof(char16_t));
        korvane::free_pool(s);
        return units;
    }

    std::u16string with_status(EFI_STATUS status, const char *format, ...) {
        va_list ap;
        va_start(ap, format);
        char16_t *s = korvane::printf_internal(status, format, ap, true);
        va_end(ap);
        return take(s);
    }

    char16_t *to_console(const char *format, ...) {
        va_list ap;
        va_start(ap, format);
        char16_t *s = korvane::printf_internal(EFI_SUCCESS, format, ap, false);
        va_end(ap);
        return s;
    }

    template <typename... Args> void expect_like_c(const char *format, Args... args) {
        EXPECT_EQ(take(xformat(format, args...)), c_format(format, args...)) << "format: " << format;
    }

    fakefw::Firmware fw;
};

// What the growth rule predicts for a text written in pieces: a piece that would leave no
// unit spare moves the text to a new buffer of twice the units needed.
struct GrowthModel {
    size_t n_buf = INLINE_UNITS;
    size_t n = 0;
    unsigned allocations = 0;

    void write(size_t units) {
        if (n + units >= n_buf) {
            n_buf = 2 * (n + units);
            allocations++;
        }
        n += units;
    }
};

TEST_F(FormatTest, StringsFollowWidthPrecisionAndAlignment) {
    for (const char *format : {"%5s|", "%-5s|", "%.1s|", "%.0s|", "%5.1s|", "%-6.3s|", "%1s|", "%s%s"})
        expect_like_c(format, "abcd", "xy");
    expect_like_c("%*s|%-*s|", 6, "ab", 4, "cd");
    expect_like_c("%*s|", -6, "ab");
    expect_like_c("%.*s|%.*s|", 2, "abcd", -1, "abcd");
    // A bare '.' leaves the precision unset rather than zero.
    EXPECT_EQ(take(xformat("%.s|%5.s|", "abc", "de")), u"abc|   de|");
    // The largest precision is accepted; copying still stops at the terminator.
    EXPECT_EQ(take(xformat("%.2147483647s", "ab")), u"ab");
    // Sign, alternate form and zero padding mean nothing for text.
    EXPECT_EQ(take(xformat("%+#05s|", "ab")), u"   ab|");
}

TEST_F(FormatTest, NullStringsPrintAsNull) {
    EXPECT_EQ(take(xformat("%s", static_cast<const char *>(nullptr))), u"(null)");
    EXPECT_EQ(take(xformat("%ls", static_cast<const char16_t *>(nullptr))), u"(null)");
    EXPECT_EQ(take(xformat("%8s|%-8ls|", static_cast<const char *>(nullptr), static_cast<const char16_t *>(nullptr))),
              u"  (null)|(null)  |");
}

TEST_F(FormatTest, WideStringsOnlyForTheSingleLengthModifiers) {
    const char16_t *wide = u"w\u00e9\u20ac\U0001F600";
    for (const char *format : {"%ls", "%js", "%zs", "%ts"})
        EXPECT_EQ(take(xformat(format, wide)), wide) << format;
    EXPECT_EQ(take(xformat("%lls", "narrow")), u"narrow");
    EXPECT_EQ(take(xformat("%6.2ls|%-4ls|", u"abc", u"d")), u"    ab|d   |");
}

TEST_F(FormatTest, NarrowBytesAreSignExtended) {
    std::u16string expected = {u'a', 0xffc3, 0xffa9, 0xff80, 0x7f};
    EXPECT_EQ(take(xformat("%s", "a\xc3\xa9\x80\x7f")), expected);
    // Literal text in the format takes the same road.
    EXPECT_EQ(take(xformat("a\xc3\xa9\x80\x7f")), expected);
}

TEST_F(FormatTest, NewlinesInTheFormatBecomeCrLf) {
    EXPECT_EQ(take(xformat("a\nb")), u"a\r\nb");
    EXPECT_EQ(take(xformat("a\r\nb\n\n")), u"a\r\r\nb\r\n\r\n");
    // Text from arguments is copied as it is.
    EXPECT_EQ(take(xformat("%s|%ls", "a\nb", u"c\nd")), u"a\nb|c\nd");
}

TEST_F(FormatTest, CharactersAndPercent) {
    for (const char *format : {"%c", "%3c|", "%-3c|"})
        expect_like_c(format, 'Z');
    // Only the low 16 bits of the argument count.
    EXPECT_EQ(take(xformat("%c%c", 0x20ac, 0x1f600)), std::u16string({0x20ac, 0xf600}));
    EXPECT_EQ(take(xformat("%%|%4%|%-3%|")), u"%|   %|%  |");
}

TEST_F(FormatTest, ZeroCharacterIsEmbedded) {
    EXPECT_EQ(take_units(xformat("a%cb", 0)), std::u16string({u'a', 0, u'b', 0}));
    EXPECT_EQ(to_console("a%cb", 0), nullptr);
    EXPECT_EQ(fw.console().text(), "a");
}

TEST_F(FormatTest, IntegersAgreeWithC) {
    for (int v : {0, 1, -1, 42, -42, 1234567, INT_MIN, INT_MAX})
        for (const char *format : {"%d", "%i", "%5d|", "%-5d|", "%05d", "%+d", "% d", "%+6d|", "%-+6d|", "% 06d",
                                   "%.3d", "%8.3d|", "%-8.3i|", "%.0d|"})
            expect_like_c(format, v);
    for (unsigned v : {1u, 0x1fu, 255u, 0xdeadbeefu, UINT_MAX})
        for (const char *format :
             {"%u", "%x", "%X", "%08x", "%#x", "%#X", "%#010x", "%#.6x", "%-#10X|", "%10u|", "%.12u"})
            expect_like_c(format, v);
    expect_like_c("%*d|%-*d|%.*d|", 6, 42, 6, -42, 4, 7);
    expect_like_c("%*d|", -6, 42);
}

TEST_F(FormatTest, LongModifiersReadSixtyFourBits) {
    for (int64_t v : {INT64_MIN, INT64_MIN + 1, int64_t(-1), int64_t(1) << 40, INT64_MAX}) {
        expect_like_c("%ld|%lld|%jd|%li", v, static_cast<long long>(v), static_cast<intmax_t>(v), v);
        expect_like_c("%zd|%td|%+22ld|%-22ld|", static_cast<ssize_t>(v), static_cast<ptrdiff_t>(v), v, v);
    }
    for (uint64_t v : {uint64_t(0x8000000000000000), UINT64_MAX, uint64_t(0x123456789abcdef0)})
        expect_like_c("%lu|%llx|%lX|%#jx|%zu|%020lu", v, static_cast<unsigned long long>(v), v,
                      static_cast<uintmax_t>(v), static_cast<size_t>(v), v);
    EXPECT_EQ(take(xformat("%ld", INT64_MIN)), u"-9223372036854775808");
    // Arguments of both widths are consumed in order.
    expect_like_c("%d %ld %u %lx %d", -5, INT64_MIN, 7u, UINT64_MAX, -6);
}

TEST_F(FormatTest, ThirtyTwoBitValuesAreWidenedNotTruncated) {
    EXPECT_EQ(take(xformat("%d|%u|%x", -1, UINT_MAX, UINT_MAX)), u"-1|4294967295|ffffffff");
    // h and hh are accepted but change nothing.
    EXPECT_EQ(take(xformat("%hhu|%hd|%hhx", 300, 70000, 0x1234)), u"300|70000|1234");
}

TEST_F(FormatTest, RulesOfTheirOwnForFlags) {
    // Zero padding wins over left alignment and over a precision.
    EXPECT_EQ(take(xformat("%-05d|%0-5d|%05.3d", 42, 42, 7)), u"00042|00042|00007");
    // Zero with precision zero prints nothing, not even the fill.
    EXPECT_EQ(take(xformat("[%.0d][%5.0d][%-5.0x][%+.0d][%#.0x]", 0, 0, 0u, 0, 0u)), u"[][][][][]");
    // A '.' alone keeps the default precision of 1.
    EXPECT_EQ(take(xformat("%.d|%.*d", 0, -1, 0)), u"0|0");
    // Sign flags apply to every number; the later of ' ' and '+' wins.
    EXPECT_EQ(take(xformat("%+u|% u|%+x|%+ d|% +d", 7u, 7u, 255u, 7, 7)), u"+7| 7|+ff| 7|+7");
    // The alternate form adds its prefix to any integer, zero included.
    EXPECT_EQ(take(xformat("%#x|%#X|%#d|%#u", 0u, 255u, 5, 9u)), u"0x0|0XFF|0X5|0X9");
    EXPECT_EQ(take(xformat("%08x|%#010x|%#X", 0x1fu, 0x1fu, 255u)), u"0000001f|0x0000001f|0XFF");
    EXPECT_EQ(take(xformat("%-+#8x|%+#08x", 0xabu, 0xabu)), u"+0xab   |+0x000ab");
}

TEST_F(FormatTest, Pointers) {
    int object = 0;
    for (const void *p : {static_cast<const void *>(&object), reinterpret_cast<const void *>(uintptr_t(1)),
                          reinterpret_cast<const void *>(UINTPTR_MAX)}) {
        std::u16string expected = widen(hex(reinterpret_cast<uintptr_t>(p)));
        EXPECT_EQ(take(xformat("%p", p)), expected);
        EXPECT_EQ(take(xformat("%24p|", p)), std::u16string(24 - expected.size(), u' ') + expected + u"|");
    }
    const void *null = nullptr;
    EXPECT_EQ(take(xformat("%p|%10p|%-10p|", null, null, null)), u"(null)|    (null)|(null)    |");
}

TEST_F(FormatTest, StatusTexts) {
    const std::vector<std::string> warnings = {
        "Success",          "Unknown glyph", "Delete failure", "Write failure",
        "Buffer too small", "Stale data",    "File system",    "Reset required",
    };
    const std::vector<std::string> errors = {
        "Error",           "Load error",         "Invalid parameter",   "Unsupported",      "Bad buffer size",
        "Buffer too small", "Not ready",          "Device error",        "Write protected",  "Out of resources",
        "Volume corrupt",  "Volume full",        "No media",            "Media changed",    "Not found",
        "Access denied",   "No response",        "No mapping",          "Time out",         "Not started",
        "Already started", "Aborted",            "ICMP error",          "TFTP error",       "Protocol error",
        "Incompatible version", "Security violation", "CRC error",     "End of media",     "Reserved (29)",
        "Reserved (30)",   "End of file",        "Invalid language",    "Compromised data", "IP address conflict",
        "HTTP error",
    };
    for (size_t i = 0; i < warnings.size(); i++)
        EXPECT_EQ(with_status(i, "%m"), widen(warnings[i])) << i;
    for (size_t i = 0; i < errors.size(); i++)
        EXPECT_EQ(with_status(EFI_ERROR_BIT | i, "%m"), widen(errors[i])) << i;
    EXPECT_EQ(with_status(EFI_NOT_FOUND, "x: %m."), u"x: Not found.");
    EXPECT_EQ(with_status(EFI_WARN_BUFFER_TOO_SMALL, "%m"), u"Buffer too small");
    EXPECT_EQ(take(xformat("%m")), u"Success");
}

TEST_F(FormatTest, UnknownStatusPrintsInHex) {
    for (EFI_STATUS s : {EFI_STATUS(8), EFI_STATUS(0x7fffffffffffffff), EFI_ERROR_BIT | 36, EFI_ERROR_BIT | 0x1234,
                         EFI_STATUS(UINT64_MAX)})
        EXPECT_EQ(with_status(s, "%m"), widen(hex(s))) << s;
    EXPECT_EQ(with_status(8, "%5m|%-5m|%.9m"), u"  0x8|0x8  |0x8");
}

TEST_F(FormatTest, StatusTextTakesWidthButNoPrecision) {
    EXPECT_EQ(with_status(EFI_ABORTED, "[%10m][%-10m][%.2m][%3m]"), u"[   Aborted][Aborted   ][Aborted][Aborted]");
}

TEST_F(FormatTest, ShortTextsCostOneExactCopy) {
    char16_t *s = xformat("abc%d", 7);
    EXPECT_EQ(fw.calls(Service::AllocatePool), 1u);
    EXPECT_EQ(fw.memory().pool_size(s), 5 * sizeof(char16_t));
    EXPECT_EQ(take(s), u"abc7");

    s = xformat("");
    EXPECT_EQ(fw.memory().pool_size(s), sizeof(char16_t));
    EXPECT_EQ(take(s), u"");
}

TEST_F(FormatTest, GrowthStartsAtTheInlineCapacity) {
    // 127 units and the terminator fill the inline buffer exactly.
    std::string fits(INLINE_UNITS - 1, 'a');
    char16_t *s = xformat(fits.c_str());
    EXPECT_EQ(fw.calls(Service::AllocatePool), 1u);
    EXPECT_EQ(fw.memory().pool_size(s), INLINE_UNITS * sizeof(char16_t));
    EXPECT_EQ(take(s), widen(fits));

    // One more unit moves the text to the pool, and that buffer is what the caller gets.
    std::string grows(INLINE_UNITS, 'b');
    s = xformat("%s", grows.c_str());
    EXPECT_EQ(fw.calls(Service::AllocatePool), 2u);
    EXPECT_EQ(fw.memory().pool_size(s), 2 * INLINE_UNITS * sizeof(char16_t));
    EXPECT_EQ(take(s), widen(grows));

    // Pieces that end exactly at 127 units do not grow either.
    s = xformat("%s%c", std::string(INLINE_UNITS - 2, 'c').c_str(), 'd');
    EXPECT_EQ(fw.memory().pool_size(s), INLINE_UNITS * sizeof(char16_t));
    EXPECT_EQ(take(s), widen(std::string(INLINE_UNITS - 2, 'c') + "d"));
}

TEST_F(FormatTest, LongTextsGrowSeveralTimes) {
    std::vector<std::string> pieces;
    std::string format, expected;
    GrowthModel model;
    for (size_t i = 0; i < 12; i++) {
        pieces.push_back(std::string(50 + 37 * i, static_cast<char>('a' + i)));
        model.write(pieces.back().size());
        model.write(1);
        format += "%s,";
        expected += pieces.back() + ",";
    }
    ASSERT_GE(model.allocations, 3u);
    char16_t *s = xformat(format.c_str(), pieces[0].c_str(), pieces[1].c_str(), pieces[2].c_str(),
                          pieces[3].c_str(), pieces[4].c_str(), pieces[5].c_str(), pieces[6].c_str(),
                          pieces[7].c_str(), pieces[8].c_str(), pieces[9].c_str(), pieces[10].c_str(),
                          pieces[11].c_str());
    EXPECT_EQ(fw.calls(Service::AllocatePool), model.allocations);
    // Every outgrown buffer was released; only the result is left.
    EXPECT_EQ(fw.memory().live_pool_count(), 1u);
    EXPECT_EQ(fw.memory().pool_size(s), model.n_buf * sizeof(char16_t));
    EXPECT_EQ(take(s), widen(expected));
}

TEST_F(FormatTest, WideFieldsGrowForTheirWidth) {
    GrowthModel model;
    model.write(3);
    model.write(1000);
    model.write(1);
    char16_t *s = xformat("ab|%1000d|", -7);
    EXPECT_EQ(fw.calls(Service::AllocatePool), model.allocations);
    EXPECT_EQ(fw.memory().pool_size(s), model.n_buf * sizeof(char16_t));
    EXPECT_EQ(take(s), u"ab|" + std::u16string(998, u' ') + u"-7|");
}

TEST_F(FormatTest, ConsoleGetsTheWholeTextInOneCall) {
    EXPECT_EQ(to_console("%s: %d\n%ls", "one", 1, u"two"), nullptr);
    EXPECT_EQ(fw.calls(Service::ConOutOutputString), 1u);
    EXPECT_EQ(fw.calls(Service::AllocatePool), 0u);
    EXPECT_EQ(fw.console().text(), "one: 1\ntwo");
}

TEST_F(FormatTest, LongConsoleTextsReleaseTheirBuffer) {
    std::string text(INLINE_UNITS * 5, 'x');
    EXPECT_EQ(to_console("%s!", text.c_str()), nullptr);
    EXPECT_EQ(fw.calls(Service::ConOutOutputString), 1u);
    EXPECT_GE(fw.calls(Service::AllocatePool), 1u);
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
    EXPECT_EQ(fw.console().text(), text + "!");
}

TEST_F(FormatTest, ShortConsoleTextsStayOffThePool) {
    EXPECT_EQ(to_console("%s", std::string(INLINE_UNITS - 1, 'y').c_str()), nullptr);
    EXPECT_EQ(fw.calls(Service::AllocatePool), 0u);
}

// The console text at the halt that formatting `format` causes. A machine halts only once,
// so each run has a firmware of its own.
std::string halt_text(const char *format) {
    fakefw::Firmware fw;
    return fakefw::expect_halt([&] { (void)xformat(format, "x"); });
}

// Whether the console shows the report of `expression` failing in `function`.
void expect_assertion(const std::string &console, const std::string &expression, const std::string &function) {
    EXPECT_NE(console.find("korvane-boot: Assertion '" + expression + "' failed at src/boot/efi-string.cpp:"),
              std::string::npos)
        << console;
    EXPECT_NE(console.find("@" + function + ", halting."), std::string::npos) << console;
}

TEST(FormatHaltTest, UnknownDirectiveCharactersHalt) {
    for (const char *format : {"%q", "%{", "%\x1f", "%\x80" "d", "%5.3Ld", "%", "abc%-"})
        expect_assertion(halt_text(format), "Code should not be reached", "handle_format_specifier");
}

TEST(FormatHaltTest, OversizedFieldsHalt) {
    for (const char *format : {"%2147483648d", "%.2147483648s", "%99999999999999999999999d"})
        expect_assertion(halt_text(format), "Code should not be reached", "handle_format_specifier");
}

TEST(FormatHaltTest, NullFormatHalts) {
    expect_assertion(halt_text(nullptr), "format", "printf_internal");
}

} // namespace
