// Allocation, memory primitives, duplication and UTF-8 conversion.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "boot/firmware.h"
#include "boot/util.h"
#include "fakefw/fakefw.h"

using fakefw::Firmware;
using fakefw::Service;

namespace {

std::string regex_escape(const std::string &s) {
    return std::regex_replace(s, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// The whole console text of a failed assertion: one line from efi_assert naming the call site.
std::regex assertion_text(const std::string &expression, const std::string &file, const std::string &function) {
    return std::regex(R"(src/boot/log\.cpp:[0-9]+@efi_assert: korvane-boot: Assertion ')" + regex_escape(expression) +
                      "' failed at " + regex_escape(file) + ":[0-9]+@" + function + ", halting\\.\n");
}

bool all_red(const fakefw::Line &line) {
    for (UINTN a : line.attributes)
        if (a != 0x0c)
            return false;
    return !line.attributes.empty();
}

std::u16string units(const char16_t *s) { return s ? std::u16string(s) : std::u16string(u"(null)"); }

// Frees what the code under test handed over, through the same firmware.
struct Freer {
    void operator()(void *p) const { korvane::free_pool(p); }
};
template <typename T> using Owned = std::unique_ptr<T, Freer>;

TEST(Xmalloc, AllocatesLoaderDataOfTheRequestedSize) {
    Firmware fw;
    Owned<void> p(korvane::xmalloc(24));
    ASSERT_NE(fw.memory().pool(p.get()), nullptr);
    EXPECT_EQ(fw.memory().pool(p.get())->size, 24u);
    EXPECT_EQ(fw.memory().pool(p.get())->type, EfiLoaderData);
    // A request of 0 bytes reaches the firmware unchanged.
    Owned<void> empty(korvane::xmalloc(0));
    EXPECT_EQ(fw.memory().pool_size(empty.get()), 0u);
    EXPECT_EQ(fw.calls(Service::AllocatePool), 2u);

    Owned<uint32_t> typed(korvane::xnew<uint32_t>(5));
    EXPECT_EQ(fw.memory().pool_size(typed.get()), 20u);
}

TEST(Xmalloc, HaltsWithTheAssertionWhenThePoolIsExhausted) {
    Firmware fw;
    // Only this request fails: the report itself is longer than the formatter's inline buffer.
    fw.fail(Service::AllocatePool, EFI_OUT_OF_RESOURCES, 0, 1);
    std::string text = fakefw::expect_halt([] { (void)korvane::xmalloc(16); });
    EXPECT_TRUE(std::regex_match(text, assertion_text("BS->AllocatePool(EfiLoaderData, size, &p) == EFI_SUCCESS",
                                                      "src/boot/util.cpp", "xmalloc")))
        << text;
    EXPECT_TRUE(all_red(fw.console().last_line()));
}

TEST(XmallocMultiply, OverflowHaltsBeforeTheAllocation) {
    {
        Firmware fw;
        Owned<void> p(korvane::xmalloc_multiply(7, 12));
        EXPECT_EQ(fw.memory().pool_size(p.get()), 84u);
    }
    {
        Firmware fw;
        std::string text = fakefw::expect_halt([] { (void)korvane::xmalloc_multiply(SIZE_MAX / 3 + 1, 3); });
        EXPECT_TRUE(std::regex_match(
            text, assertion_text("MUL_ASSIGN_SAFE(&size, n)", "src/boot/util.cpp", "xmalloc_multiply")))
            << text;
    }
    {
        // SIZE_MAX is a multiple of 3: the product fits, and the pool refuses it instead.
        Firmware fw;
        std::string text = fakefw::expect_halt([] { (void)korvane::xmalloc_multiply(SIZE_MAX / 3, 3); });
        EXPECT_TRUE(std::regex_match(text, assertion_text("BS->AllocatePool(EfiLoaderData, size, &p) == EFI_SUCCESS",
                                                          "src/boot/util.cpp", "xmalloc")))
            << text;
    }
}

TEST(SizeArithmetic, OverflowIsReportedAndTheFittingResultKept) {
    uint8_t small = 250;
    EXPECT_TRUE(korvane::INC_SAFE(&small, uint8_t(5)));
    EXPECT_EQ(small, 255);
    EXPECT_FALSE(korvane::INC_SAFE(&small, uint8_t(1)));
    size_t size = SIZE_MAX / 2;
    EXPECT_TRUE(korvane::MUL_ASSIGN_SAFE(&size, size_t(2)));
    EXPECT_EQ(size, SIZE_MAX - 1);
    EXPECT_FALSE(korvane::MUL_ASSIGN_SAFE(&size, size_t(2)));
    uint32_t n = 0x10000;
    EXPECT_FALSE(korvane::MUL_ASSIGN_SAFE(&n, uint32_t(0x10000)));
}

TEST(PoolOwners, ReleaseOnEveryPath) {
    Firmware fw;
    korvane::free_pool(nullptr);
    EXPECT_EQ(fw.calls(Service::FreePool), 0u) << "freeing null must not reach the firmware";

    {
        korvane::PoolPtr<char> p(korvane::xnew<char>(4));
        EXPECT_EQ(fw.memory().live_pool_count(), 1u);
    }
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);

    korvane::PoolPtr<char> p(korvane::xnew<char>(4));
    char *first = p.get();
    p.reset(korvane::xnew<char>(8));
    EXPECT_EQ(fw.memory().pool(first), nullptr);
    EXPECT_EQ(fw.memory().pool_size(p.get()), 8u);

    // out() frees what is held and lets the firmware fill the slot.
    ASSERT_EQ(korvane::BS->AllocatePool(EfiLoaderData, 3, reinterpret_cast<void **>(p.out())), EFI_SUCCESS);
    EXPECT_EQ(fw.memory().live_pool_count(), 1u);
    EXPECT_EQ(fw.memory().pool_size(p.get()), 3u);

    korvane::PoolPtr<char> q(korvane::xnew<char>(5));
    q = korvane::move(p);
    EXPECT_EQ(fw.memory().live_pool_count(), 1u);
    EXPECT_EQ(fw.memory().pool_size(q.get()), 3u);
    EXPECT_FALSE(p);

    char *kept = q.release();
    EXPECT_FALSE(q);
    EXPECT_NE(fw.memory().pool(kept), nullptr);
    korvane::free_pool(kept);
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
}

TEST(StringList, FreesEveryStringAndTheList) {
    Firmware fw;
    char16_t **list = korvane::xnew<char16_t *>(3);
    list[0] = korvane::xstr16_dup(u"one", SIZE_MAX);
    list[1] = korvane::xstr16_dup(u"two", SIZE_MAX);
    list[2] = nullptr;
    korvane::string_list_free(list);
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
    korvane::string_list_free(nullptr);
    EXPECT_EQ(fw.calls(Service::FreePool), 3u);
}

TEST(PageAllocation, XmallocPagesHonoursTheRequest) {
    Firmware fw;
    constexpr EFI_PHYSICAL_ADDRESS LIMIT = 0xffffffff;
    korvane::PageAllocation a = korvane::xmalloc_pages(AllocateMaxAddress, EfiLoaderData, 3, LIMIT);
    EXPECT_EQ(a.n_pages, 3u);
    EXPECT_LE(a.addr + 3 * EFI_PAGE_SIZE - 1, LIMIT);
    const fakefw::PageBlock *block = fw.memory().pages(a.addr);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->n_pages, 3u);
    EXPECT_EQ(block->type, EfiLoaderData);
    memset(reinterpret_cast<void *>(a.addr), 0, 3 * EFI_PAGE_SIZE);
    korvane::free_pages(&a);
    EXPECT_EQ(a.addr, 0u);
    EXPECT_EQ(a.n_pages, 0u);
    EXPECT_EQ(fw.memory().live_pages_count(), 0u);
    korvane::free_pages(&a);
    EXPECT_EQ(fw.calls(Service::FreePages), 1u) << "an empty record frees nothing";

    korvane::PageAllocation b = korvane::xmalloc_pages(AllocateAnyPages, EfiACPIReclaimMemory, 1, 0);
    EXPECT_EQ(fw.memory().pages(b.addr)->type, EfiACPIReclaimMemory);
    korvane::free_pages(&b);
}

TEST(PageAllocation, HaltsWhenThePagesCannotBeHad) {
    Firmware fw;
    fw.fail(Service::AllocatePages, EFI_NOT_FOUND);
    std::string text =
        fakefw::expect_halt([] { (void)korvane::xmalloc_pages(AllocateMaxAddress, EfiLoaderData, 1, 0xffffffff); });
    EXPECT_TRUE(
        std::regex_match(text, assertion_text("BS->AllocatePages(type, memory_type, n_pages, &addr) == EFI_SUCCESS",
                                              "src/boot/util.cpp", "xmalloc_pages")))
        << text;
}

TEST(PageAllocation, OwnerReleasesOnEveryPath) {
    Firmware fw;
    auto take = [] { return korvane::Pages(korvane::xmalloc_pages(AllocateAnyPages, EfiLoaderData, 2, 0)); };
    {
        korvane::Pages p = take();
        EXPECT_TRUE(p);
        EXPECT_EQ(p.n_pages(), 2u);
        EXPECT_EQ(p.ptr<uint8_t>(), reinterpret_cast<uint8_t *>(p.addr()));
    }
    EXPECT_EQ(fw.memory().live_pages_count(), 0u);
    { korvane::Pages empty; }
    EXPECT_EQ(fw.calls(Service::FreePages), 1u);

    korvane::Pages a = take(), b = take();
    EFI_PHYSICAL_ADDRESS first = a.addr(), second = b.addr();
    a = korvane::move(b);
    EXPECT_EQ(fw.memory().pages(first), nullptr) << "assignment releases what was held";
    EXPECT_EQ(a.addr(), second);
    EXPECT_FALSE(b);

    korvane::PageAllocation kept = a.release();
    EXPECT_FALSE(a);
    EXPECT_NE(fw.memory().pages(kept.addr), nullptr);
    korvane::free_pages(&kept);
    EXPECT_EQ(fw.memory().live_pages_count(), 0u);
}

TEST(Memcpy, NullOrEmptyDoesNothing) {
    Firmware fw;
    char dest[4] = "abc";
    const char src[4] = "xyz";
    EXPECT_EQ(korvane::memcpy(nullptr, src, 3), nullptr);
    EXPECT_EQ(korvane::memcpy(dest, nullptr, 3), dest);
    EXPECT_EQ(korvane::memcpy(dest, src, 0), dest);
    EXPECT_STREQ(dest, "abc");
    EXPECT_EQ(korvane::memset(nullptr, 'x', 3), nullptr);
    EXPECT_EQ(korvane::memset(dest, 'x', 0), dest);
    EXPECT_STREQ(dest, "abc");
    EXPECT_EQ(fw.calls(Service::CopyMem), 0u);
    EXPECT_EQ(fw.calls(Service::SetMem), 0u);
}

TEST(Memcpy, GoesThroughTheFirmwareOnceItIsKnown) {
    Firmware fw;
    std::vector<uint8_t> src(1000), dest(1000, 0);
    for (size_t i = 0; i < src.size(); i++)
        src[i] = uint8_t(i * 7 + 1);
    EXPECT_EQ(korvane::memcpy(dest.data(), src.data(), src.size()), dest.data());
    EXPECT_EQ(dest, src);
    EXPECT_EQ(fw.calls(Service::CopyMem), 1u);

    // Also the image's memmove: CopyMem takes overlapping buffers.
    char overlap[] = "0123456789";
    korvane::memcpy(overlap + 3, overlap, 6);
    EXPECT_STREQ(overlap, "0120123459");

    EXPECT_EQ(korvane::memset(dest.data(), 0x1ab, 999), dest.data());
    EXPECT_EQ(fw.calls(Service::SetMem), 1u);
    EXPECT_EQ(std::count(dest.begin(), dest.end(), 0xab), 999);
    EXPECT_EQ(dest[999], src[999]);
}

TEST(Memcpy, CopiesByteByByteBeforeTheFirmwareIsKnown) {
    ASSERT_EQ(korvane::BS, nullptr);
    uint8_t src[37], dest[37] = {};
    for (size_t i = 0; i < sizeof(src); i++)
        src[i] = uint8_t(0xf0 ^ i);
    EXPECT_EQ(korvane::memcpy(dest, src, sizeof(src)), dest);
    EXPECT_EQ(memcmp(dest, src, sizeof(src)), 0);
    EXPECT_EQ(korvane::memcpy(dest, src, 0), dest);
    EXPECT_EQ(korvane::memset(dest + 1, 0x3cc, 35), dest + 1);
    EXPECT_EQ(dest[0], src[0]);
    for (size_t i = 1; i < 36; i++)
        EXPECT_EQ(dest[i], 0xcc) << i;
    EXPECT_EQ(dest[36], src[36]);
}

TEST(Duplication, CutsAtTheCountAndAlwaysTerminates) {
    Firmware fw;
    EXPECT_EQ(korvane::xstr8_dup(nullptr, 5), nullptr);
    EXPECT_EQ(korvane::xstr16_dup(nullptr, 5), nullptr);

    Owned<char> cut(korvane::xstr8_dup("abcdef", 3));
    EXPECT_STREQ(cut.get(), "abc");
    EXPECT_EQ(fw.memory().pool_size(cut.get()), 4u);
    Owned<char> whole(korvane::xstr8_dup("abc", SIZE_MAX));
    EXPECT_STREQ(whole.get(), "abc");
    Owned<char> shorter(korvane::xstr8_dup("ab", 10));
    EXPECT_STREQ(shorter.get(), "ab");
    EXPECT_EQ(fw.memory().pool_size(shorter.get()), 3u);
    Owned<char> none(korvane::xstr8_dup("abc", 0));
    EXPECT_STREQ(none.get(), "");

    // Bytes beyond the count are never read: this source has no terminator at all.
    std::unique_ptr<char[]> unterminated(new char[3]{'x', 'y', 'z'});
    Owned<char> exact(korvane::xstr8_dup(unterminated.get(), 3));
    EXPECT_STREQ(exact.get(), "xyz");

    Owned<char16_t> cut16(korvane::xstr16_dup(u"abcdef", 2));
    EXPECT_EQ(units(cut16.get()), u"ab");
    EXPECT_EQ(fw.memory().pool_size(cut16.get()), 3 * sizeof(char16_t));
    Owned<char16_t> whole16(korvane::xstr16_dup(u"k\u00e9rnel", SIZE_MAX));
    EXPECT_EQ(units(whole16.get()), u"k\u00e9rnel");
    Owned<char16_t> none16(korvane::xstr16_dup(u"abc", 0));
    EXPECT_EQ(units(none16.get()), u"");
    std::unique_ptr<char16_t[]> unterminated16(new char16_t[2]{u'p', u'q'});
    Owned<char16_t> exact16(korvane::xstr16_dup(unterminated16.get(), 2));
    EXPECT_EQ(units(exact16.get()), u"pq");
}

using Bytes = std::vector<uint8_t>;

// Converts `bytes` (exactly that many, in a buffer of their own so that ASan sees any read past
// them) and returns the units up to the terminator.
std::u16string to_utf16(const Bytes &bytes, size_t n) {
    std::unique_ptr<char[]> buf(new char[bytes.size()]);
    memcpy(buf.get(), bytes.data(), bytes.size());
    Owned<char16_t> out(korvane::xstr8_to_utf16(buf.get(), n));
    return units(out.get());
}
std::u16string to_utf16(const Bytes &bytes) { return to_utf16(bytes, bytes.size()); }

TEST(Utf8ToUtf16, DecodesAndSkipsWhatItCannot) {
    Firmware fw;
    EXPECT_EQ(to_utf16({0x61, 0xc3, 0xa9, 0x62}), u"a\u00e9b");
    EXPECT_EQ(to_utf16({0xe2, 0x82, 0xac}), u"\u20ac");
    EXPECT_EQ(to_utf16({0x61, 0x80, 0x62}), u"ab") << "a stray continuation byte is skipped";
    EXPECT_EQ(to_utf16({0xfe, 0x61, 0xff, 0x62}), u"ab");
    // A continuation byte missing: the whole sequence goes, including the byte that broke it.
    EXPECT_EQ(to_utf16({0x61, 0xe2, 0x28, 0xa1, 0x62}), u"ab");
    EXPECT_EQ(to_utf16({0xc3, 0x61, 0x62}), u"b");
}

TEST(Utf8ToUtf16, KeepsTheBasicPlaneOnly) {
    Firmware fw;
    EXPECT_EQ(to_utf16({0xf0, 0x9f, 0x98, 0x80}), u"");
    EXPECT_EQ(to_utf16({0x61, 0xf4, 0x8f, 0xbf, 0xbf, 0x62}), u"ab");
    EXPECT_EQ(to_utf16({0xed, 0x9f, 0xbf}), u"\ud7ff");
    EXPECT_EQ(to_utf16({0xed, 0xa0, 0x80}), u"") << "U+D800 is a surrogate";
    EXPECT_EQ(to_utf16({0xed, 0xbf, 0xbf}), u"") << "U+DFFF is a surrogate";
    EXPECT_EQ(to_utf16({0xee, 0x80, 0x80}), u"\ue000");
    EXPECT_EQ(to_utf16({0xef, 0xbf, 0xbf}), u"\uffff");
    // Five- and six-byte forms decode, and their values above the plane are dropped.
    EXPECT_EQ(to_utf16({0x61, 0xf8, 0x88, 0x80, 0x80, 0x80, 0x62}), u"ab");
    EXPECT_EQ(to_utf16({0x61, 0xfc, 0x84, 0x80, 0x80, 0x80, 0x80, 0x62}), u"ab");
}

TEST(Utf8ToUtf16, AcceptsOverlongForms) {
    Firmware fw;
    EXPECT_EQ(to_utf16({0xc1, 0x81}), u"A");
    EXPECT_EQ(to_utf16({0xe0, 0x81, 0x81}), u"A");
    EXPECT_EQ(to_utf16({0xf8, 0x80, 0x80, 0x81, 0x81}), u"A");
    EXPECT_EQ(to_utf16({0xfc, 0x80, 0x80, 0x80, 0x81, 0x81}), u"A");
    // An overlong zero is a zero unit: the text ends there.
    const char overlong_zero[] = {char(0xc0), char(0x80), 'b'};
    Owned<char16_t> zero(korvane::xstr8_to_utf16(overlong_zero, sizeof(overlong_zero)));
    ASSERT_NE(zero.get(), nullptr);
    EXPECT_EQ(zero.get()[0], u'\0');
}

TEST(Utf8ToUtf16, StopsAtTheCountAndTheTerminator) {
    Firmware fw;
    EXPECT_EQ(korvane::xstr8_to_utf16("abc", 0), nullptr);
    EXPECT_EQ(korvane::xstr8_to_utf16(nullptr, 3), nullptr);
    EXPECT_EQ(fw.calls(Service::AllocatePool), 0u);
    EXPECT_EQ(to_utf16({0x61, 0xc3}), u"a") << "a truncated last sequence is dropped";
    EXPECT_EQ(to_utf16({0x61, 0xe2, 0x82}), u"a");
    EXPECT_EQ(to_utf16({0x61, 0xc3, 0xa9}, 2), u"a") << "the count cuts the sequence";
    EXPECT_EQ(to_utf16({'a', 'b', 'c', 'd', 'e', 'f'}, 4), u"abcd");
    EXPECT_EQ(to_utf16({'a', 'b', 0, 'c', 'd'}), u"ab");
    // A sequence cut by the terminator ends the text without reading past it.
    EXPECT_EQ(to_utf16({0x61, 0xc3, 0}, SIZE_MAX), u"a");
    EXPECT_EQ(to_utf16({0x61, 0xe2, 0x82, 0}, SIZE_MAX), u"a");
    EXPECT_EQ(to_utf16({'x', 0}, SIZE_MAX), u"x");
}

// The conversion rules written out once more, independently, for a randomised comparison.
std::u16string reference_utf16(const Bytes &in) {
    std::u16string out;
    size_t i = 0;
    while (i < in.size() && in[i] != 0) {
        uint8_t c = in[i];
        int len = c < 0x80   ? 1
                  : c < 0xc0 ? 0
                  : c < 0xe0 ? 2
                  : c < 0xf0 ? 3
                  : c < 0xf8 ? 4
                  : c < 0xfc ? 5
                  : c < 0xfe ? 6
                             : 0;
        if (len == 0) {
            i++;
            continue;
        }
        if (in.size() - i < size_t(len))
            break;
        static const uint8_t LEAD_MASK[] = {0, 0x7f, 0x1f, 0x0f, 0x07, 0x03, 0x01};
        uint64_t value = c & LEAD_MASK[len];
        bool ok = true;
        for (int k = 1; k < len; k++) {
            ok = ok && (in[i + k] >> 6) == 2;
            value = value * 64 + (in[i + k] % 64);
        }
        i += len;
        if (ok && value <= 0xffff && (value < 0xd800 || value > 0xdfff))
            out += char16_t(value);
    }
    // The output is read as a string: a decoded zero ends it.
    return out.substr(0, out.find(u'\0'));
}

TEST(Utf8ToUtf16, AgreesWithTheRulesOnRandomInput) {
    Firmware fw;
    std::mt19937 gen(20240607);
    const uint8_t interesting[] = {0x00, 0x41, 0x7f, 0x80, 0x9f, 0xa0, 0xbf, 0xc0, 0xc3, 0xdf, 0xe0,
                                   0xed, 0xef, 0xf0, 0xf4, 0xf7, 0xf8, 0xfb, 0xfc, 0xfd, 0xfe, 0xff};
    for (int round = 0; round < 3000; round++) {
        Bytes in(gen() % 12 + 1);
        for (uint8_t &b : in)
            b = gen() % 3 ? interesting[gen() % sizeof(interesting)] : uint8_t(gen());
        // The conversion stops at a terminator, so the reference gets the bytes before it.
        Bytes until_zero(in.begin(), std::find(in.begin(), in.end(), 0));
        ASSERT_EQ(to_utf16(in), reference_utf16(until_zero)) << ::testing::PrintToString(in);
    }
}

} // namespace
