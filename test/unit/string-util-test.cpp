// Comparisons, their null rules, case folding and the suffix test.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "fakefw/fakefw.h"
#include "fundamental/string-util-fundamental.h"

using korvane::endswith_no_case;
using korvane::str16_case_compare;
using korvane::str16_compare;
using korvane::str8_ncompare;

namespace {

TEST(Str16Compare, NullSortsFirstAndTwoNullsAreEqual) {
    EXPECT_EQ(str16_compare(nullptr, u""), -1);
    EXPECT_EQ(str16_compare(u"", nullptr), 1);
    EXPECT_EQ(str16_compare(nullptr, nullptr), 0);
    EXPECT_EQ(str16_case_compare(nullptr, u""), -1);
    EXPECT_EQ(str16_case_compare(u"", nullptr), 1);
    EXPECT_EQ(str16_case_compare(nullptr, nullptr), 0);
}

TEST(Str16Compare, OrdinalOverUnsignedUnitsWithResultsMinusOneZeroOne) {
    EXPECT_EQ(str16_compare(u"a", u"ab"), -1);
    EXPECT_EQ(str16_compare(u"ab", u"a"), 1);
    EXPECT_EQ(str16_compare(u"", u""), 0);
    EXPECT_EQ(str16_compare(u"abc", u"abc"), 0);
    EXPECT_EQ(str16_compare(u"a", u"z"), -1) << "never a difference of characters";
    EXPECT_EQ(str16_compare(u"z", u"a"), 1);
    EXPECT_EQ(str16_compare(u"B", u"a"), -1) << "no folding";
    // Units above 0x7FFF are large, not negative.
    EXPECT_EQ(str16_compare(u"\uffff", u"a"), 1);
    EXPECT_EQ(str16_compare(u"\u8000", u"\u7fff"), 1);
    EXPECT_EQ(str16_compare(u"x\ue000", u"x\u0041"), 1);
}

TEST(Str16CaseCompare, FoldsOnlyAsciiLetters) {
    EXPECT_EQ(str16_case_compare(u"ABC", u"abc"), 0);
    EXPECT_EQ(str16_case_compare(u"KeRnEl.EfI", u"kernel.efi"), 0);
    EXPECT_NE(str16_case_compare(u"\u00c0", u"\u00e0"), 0) << "Latin-1 letters are not folded";
    EXPECT_NE(str16_case_compare(u"\u0394", u"\u03b4"), 0);
    // The neighbours of 'A'..'Z' stay as they are.
    EXPECT_NE(str16_case_compare(u"@", u"`"), 0);
    EXPECT_NE(str16_case_compare(u"[", u"{"), 0);
    // Folding goes to lower case, so letters sort after '_' (0x5F).
    EXPECT_EQ(str16_case_compare(u"Z", u"_"), 1);
    EXPECT_EQ(str16_case_compare(u"_", u"A"), -1);
    EXPECT_EQ(str16_case_compare(u"a", u"B"), -1);
    EXPECT_EQ(str16_case_compare(u"ab", u"AB\u0001"), -1);
}

TEST(Str8NCompare, NullsCountAndSignedBytes) {
    EXPECT_EQ(str8_ncompare(nullptr, "", 1), -1);
    EXPECT_EQ(str8_ncompare("", nullptr, 1), 1);
    EXPECT_EQ(str8_ncompare(nullptr, nullptr, 1), 0);
    EXPECT_EQ(str8_ncompare("abc", "xyz", 0), 0);
    EXPECT_EQ(str8_ncompare("abcX", "abcY", 3), 0);
    EXPECT_EQ(str8_ncompare("abcX", "abcY", 4), -1);
    EXPECT_EQ(str8_ncompare("ab", "abc", 10), -1);
    EXPECT_EQ(str8_ncompare("abc", "ab", 10), 1);
    EXPECT_EQ(str8_ncompare("abc", "abc", 10), 0);
    EXPECT_EQ(str8_ncompare("a", "z", 1), -1);
    // High bytes are negative: they sort before every ASCII character, 0x80 lowest of all.
    EXPECT_EQ(str8_ncompare("\xc3\xa9", "a", 2), -1);
    EXPECT_EQ(str8_ncompare("a", "\xc3\xa9", 2), 1);
    EXPECT_EQ(str8_ncompare("\x80", "\xff", 1), -1);
    EXPECT_EQ(str8_ncompare("\xff", "\x01", 1), -1);
    // The count bounds the read: neither buffer is terminated within it.
    const char a[2] = {'q', 'r'}, b[2] = {'q', 's'};
    EXPECT_EQ(str8_ncompare(a, b, 1), 0);
    EXPECT_EQ(str8_ncompare(a, b, 2), -1);
}

TEST(EndswithNoCase, FindsTheSuffixIgnoringAsciiCase) {
    const char16_t *s = u"kernel.EFI";
    EXPECT_EQ(endswith_no_case(s, u".efi"), s + 6);
    EXPECT_EQ(endswith_no_case(s, u"kernel.efi"), s);
    EXPECT_EQ(endswith_no_case(s, u"i"), s + 9);
    EXPECT_EQ(endswith_no_case(s, u""), s + 10) << "an empty suffix gives the terminator";
    EXPECT_EQ(*endswith_no_case(s, u""), u'\0');
    const char16_t *empty = u"";
    EXPECT_EQ(endswith_no_case(empty, u""), empty);
    EXPECT_EQ(endswith_no_case(u"efi", u".efi"), nullptr);
    EXPECT_EQ(endswith_no_case(s, u"akernel.efi"), nullptr);
    EXPECT_EQ(endswith_no_case(s, u".ef"), nullptr);
    EXPECT_EQ(endswith_no_case(u"addon.\u00c9FI", u".\u00e9fi"), nullptr) << "only A-Z fold";
    const char16_t *repeated = u".efi.efi";
    EXPECT_EQ(endswith_no_case(repeated, u".EFI"), repeated + 4);
}

TEST(EndswithNoCase, NullArgumentsAreAssertions) {
    fakefw::Firmware fw;
    std::string text = fakefw::expect_halt([] { (void)endswith_no_case(u"kernel.efi", nullptr); });
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(src/boot/log\.cpp:[0-9]+@efi_assert: korvane-boot: )"
                                                  R"(Assertion 'suffix' failed at )"
                                                  R"(src/fundamental/string-util-fundamental\.cpp:[0-9]+)"
                                                  R"(@endswith_no_case, halting\.\n)")))
        << text;
}

TEST(EndswithNoCase, NullStringIsAnAssertion) {
    fakefw::Firmware fw;
    std::string text = fakefw::expect_halt([] { (void)endswith_no_case(nullptr, u".efi"); });
    EXPECT_NE(text.find("Assertion 's' failed at src/fundamental/string-util-fundamental.cpp:"), std::string::npos)
        << text;
}

} // namespace
