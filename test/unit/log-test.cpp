// Log lines, the pause for messages, assertions, halts and the stack guard.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "boot/log.h"
#include "fakefw/fakefw.h"

using fakefw::Firmware;
using fakefw::Service;

namespace {

constexpr UINTN RED = 0x0c, YELLOW = 0x0e;

// What every log line from a TEST body starts with.
std::string site(int line) { return std::string(__FILE__) + ":" + std::to_string(line) + "@TestBody: "; }

std::string regex_escape(const std::string &s) {
    return std::regex_replace(s, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

bool all_in(const fakefw::Line &line, UINTN attribute) {
    for (UINTN a : line.attributes)
        if (a != attribute)
            return false;
    return !line.attributes.empty();
}

EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *conout(Firmware &fw) { return fw.system_table()->ConOut; }

TEST(LogMessage, LineCarriesTheCallSiteAndTheStatusText) {
    Firmware fw;
    int line = __LINE__ + 1;
    EFI_STATUS status = log_error(EFI_NOT_FOUND, "Loading %s failed: %m", "addon.efi");
    EXPECT_EQ(status, EFI_NOT_FOUND);
    EXPECT_EQ(fw.console().text(), site(line) + "Loading addon.efi failed: Not found\n");
    EXPECT_TRUE(all_in(fw.console().last_line(), RED));

    line = __LINE__ + 1;
    status = log_warning(EFI_WARN_STALE_DATA, "Seed is old: %m");
    EXPECT_EQ(status, EFI_WARN_STALE_DATA);
    EXPECT_EQ(fw.console().last_line().utf8(), site(line) + "Seed is old: Stale data");
    EXPECT_TRUE(all_in(fw.console().last_line(), YELLOW));

    line = __LINE__ + 1;
    EXPECT_EQ(log_out_of_memory(), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(fw.console().last_line().utf8(), site(line) + "Out of memory.");
    EXPECT_TRUE(all_in(fw.console().last_line(), RED));
    EXPECT_EQ(korvane::logged_count, 3u) << "warnings count as well";
}

TEST(LogMessage, StartsOnAFreshLineOnlyWhenTheCursorIsNotInColumnZero) {
    {
        Firmware fw;
        log_error(EFI_ABORTED, "first");
        ASSERT_EQ(fw.console().lines().size(), 1u);
        EXPECT_NE(fw.console().lines()[0].utf8().find("first"), std::string::npos);
    }
    {
        Firmware fw;
        conout(fw)->OutputString(conout(fw), u"Loading");
        log_error(EFI_ABORTED, "second");
        std::vector<fakefw::Line> lines = fw.console().lines();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0].text, u"Loading");
        EXPECT_NE(lines[1].utf8().find("second"), std::string::npos);
    }
    {
        Firmware fw;
        conout(fw)->OutputString(conout(fw), u"Done.\r\n");
        log_warning(EFI_SUCCESS, "third");
        std::vector<fakefw::Line> lines = fw.console().lines();
        ASSERT_EQ(lines.size(), 2u) << "no empty line after a finished one";
        EXPECT_EQ(lines[0].text, u"Done.");
        EXPECT_NE(lines[1].utf8().find("third"), std::string::npos);
        EXPECT_EQ(conout(fw)->Mode->CursorColumn, 0) << "a message ends its line";
    }
}

TEST(LogMessage, RestoresWhateverAttributeWasSet) {
    for (UINTN before : {UINTN(0x00), UINTN(0x07), UINTN(0x1f), UINTN(0x4e), RED, YELLOW}) {
        Firmware fw;
        conout(fw)->SetAttribute(conout(fw), before);
        log_warning(EFI_SUCCESS, "careful");
        EXPECT_TRUE(all_in(fw.console().last_line(), YELLOW)) << before;
        EXPECT_EQ(UINTN(conout(fw)->Mode->Attribute), before);
        log_error(EFI_SUCCESS, "broken");
        EXPECT_TRUE(all_in(fw.console().last_line(), RED)) << before;
        EXPECT_EQ(UINTN(conout(fw)->Mode->Attribute), before);
        conout(fw)->OutputString(conout(fw), u"after");
        EXPECT_TRUE(all_in(fw.console().last_line(), before));
    }
}

TEST(LogMessage, AFailingConsoleLosesOnlyTheText) {
    Firmware fw;
    fw.fail(Service::ConOutOutputString, EFI_DEVICE_ERROR);
    fw.fail(Service::ConOutSetAttribute, EFI_DEVICE_ERROR);
    EXPECT_EQ(log_error(EFI_LOAD_ERROR, "unseen"), EFI_LOAD_ERROR);
    EXPECT_EQ(fw.console().text(), "");
    EXPECT_EQ(korvane::logged_count, 1u);
    korvane::log_stall();
    EXPECT_EQ(fw.clock().stalls(), std::vector<UINTN>{2500000});
}

TEST(LogStall, PausesTwoAndAHalfSecondsPerMessageAtMostTen) {
    struct Case {
        unsigned errors, warnings;
        std::vector<UINTN> stalls;
    };
    const Case cases[] = {
        {0, 0, {}},         {1, 0, {2500000}},  {0, 1, {2500000}},   {3, 0, {7500000}},
        {2, 2, {10000000}}, {5, 0, {10000000}}, {10, 0, {10000000}},
    };
    for (const Case &c : cases) {
        Firmware fw;
        for (unsigned i = 0; i < c.errors; i++)
            log_error(EFI_ABORTED, "error %u", i);
        for (unsigned i = 0; i < c.warnings; i++)
            log_warning(EFI_SUCCESS, "warning %u", i);
        EXPECT_EQ(korvane::logged_count, c.errors + c.warnings);
        korvane::log_stall();
        EXPECT_EQ(fw.clock().stalls(), c.stalls) << c.errors << " errors, " << c.warnings << " warnings";
        EXPECT_EQ(korvane::logged_count, 0u);
        korvane::log_stall();
        EXPECT_EQ(fw.clock().stalls(), c.stalls) << "a second stall without new messages does not pause";
    }
}

TEST(LogStall, EachStallCoversTheMessagesSinceThePreviousOne) {
    Firmware fw;
    log_error(EFI_ABORTED, "one");
    korvane::log_stall();
    log_warning(EFI_SUCCESS, "two");
    log_warning(EFI_SUCCESS, "three");
    korvane::log_stall();
    EXPECT_EQ(fw.clock().stalls(), (std::vector<UINTN>{2500000, 5000000}));
    EXPECT_EQ(fw.calls(Service::Stall), 2u);
}

// Fails an assertion at a known place; its line is kept for the expected text.
int assertion_line;
void assert_sum(int one) {
    assertion_line = __LINE__ + 1;
    ASSERT(one + one == 3);
}

TEST(Assertion, ReportsExpressionAndSiteInOneRedLineThenHalts) {
    Firmware fw;
    std::string text = fakefw::expect_halt([] { assert_sum(1); });
    std::regex expected(R"(src/boot/log\.cpp:[0-9]+@efi_assert: korvane-boot: Assertion 'one \+ one == 3' failed at )" +
                        regex_escape(__FILE__) + ":" + std::to_string(assertion_line) + "@assert_sum, halting\\.\n");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
    EXPECT_TRUE(all_in(fw.console().last_line(), RED));
    EXPECT_TRUE(korvane::assert_active);
    EXPECT_TRUE(fw.halted());
}

TEST(Assertion, StartsOnAFreshLineAndNamesUnreachableCode) {
    Firmware fw;
    conout(fw)->OutputString(conout(fw), u"Booting");
    std::string text = fakefw::expect_halt([] { assert_not_reached(); });
    std::vector<fakefw::Line> lines = fw.console().lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, u"Booting");
    EXPECT_NE(lines[1].utf8().find("korvane-boot: Assertion 'Code should not be reached' failed at "),
              std::string::npos)
        << text;
}

TEST(Assertion, ASecondAssertionWhileReportingHaltsWithTheFixedText) {
    Firmware fw;
    korvane::assert_active = true;
    std::string text = fakefw::expect_halt([] { korvane::efi_assert("x == y", "src/boot/x.cpp", 7, "f"); });
    EXPECT_EQ(text, "korvane-boot: Nested assertion failure, halting.");
    EXPECT_TRUE(all_in(fw.console().last_line(), RED));
}

EFI_STATUS(EFIAPI *real_output_string)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *, const CHAR16 *);

// A console driver that runs into one of our assertions while a report is printing.
EFI_STATUS EFIAPI asserting_output_string(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, const CHAR16 *s) {
    if (korvane::assert_active) {
        This->OutputString = real_output_string;
        korvane::efi_assert("inner", "src/boot/inner.cpp", 2, "inner");
    }
    return real_output_string(This, s);
}

TEST(Assertion, AnAssertionInsideTheReportDoesNotRecurse) {
    Firmware fw;
    real_output_string = conout(fw)->OutputString;
    conout(fw)->OutputString = asserting_output_string;
    std::string text = fakefw::expect_halt([] { korvane::efi_assert("outer", "src/boot/outer.cpp", 1, "outer"); });
    EXPECT_EQ(fw.console().last_line().utf8(), "korvane-boot: Nested assertion failure, halting.") << text;
    EXPECT_EQ(text.find("'inner'"), std::string::npos) << text;
}

TEST(Assertion, APoolFailureWhileFormattingALongReportDoesNotRecurse) {
    Firmware fw;
    fw.fail(Service::AllocatePool, EFI_OUT_OF_RESOURCES);
    // Longer than the formatter's inline buffer, so the report needs the pool.
    std::string expression(300, 'x');
    std::string text =
        fakefw::expect_halt([&] { korvane::efi_assert(expression.c_str(), "src/boot/outer.cpp", 1, "outer"); });
    EXPECT_GE(fw.calls(Service::AllocatePool), 1u);
    EXPECT_EQ(fw.console().last_line().utf8(), "korvane-boot: Nested assertion failure, halting.") << text;
}

TEST(Halt, WithMessagePrintsItInRedOnAFreshLineAndKeepsTheColour) {
    Firmware fw;
    conout(fw)->SetAttribute(conout(fw), 0x1f);
    conout(fw)->OutputString(conout(fw), u"Partial");
    std::string text = fakefw::expect_halt([] { korvane::halt_with_message(u"Giving up."); });
    EXPECT_EQ(text, "Partial\nGiving up.");
    EXPECT_TRUE(all_in(fw.console().last_line(), RED));
    EXPECT_EQ(conout(fw)->Mode->Attribute, 0x0c) << "the previous attribute is not restored";
    EXPECT_EQ(conout(fw)->Mode->CursorColumn, 10) << "the message carries no newline";
}

TEST(Halt, ForeverPrintsNothingAndParksTheProcessor) {
    Firmware fw;
    std::string text = fakefw::expect_halt([] { korvane::halt_forever(); });
    EXPECT_EQ(text, "");
    EXPECT_EQ(fw.calls(Service::Stall), 1u);
    EXPECT_TRUE(fw.halted());
}

// The guard is process-wide; each test puts it back.
struct GuardRestore {
    uint64_t saved = __security_cookie;
    ~GuardRestore() { __security_cookie = saved; }
};

TEST(StackGuard, ComesFromTheRngWithTheDefaultAlgorithm) {
    Firmware fw;
    GuardRestore restore;
    fw.rng().install();
    fw.rng().set_bytes({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});
    korvane::stack_guard_init();
    EXPECT_EQ(__security_cookie, 0x8877665544332211ULL);
    ASSERT_EQ(fw.rng().calls().size(), 1u);
    EXPECT_EQ(fw.rng().calls()[0].algorithm, nullptr);
    EXPECT_EQ(fw.rng().calls()[0].length, 8u);
}

TEST(StackGuard, StaysWhenTheRngFails) {
    Firmware fw;
    GuardRestore restore;
    fw.rng().install();
    fw.fail(Service::RngGetRNG, EFI_DEVICE_ERROR);
    uint64_t before = __security_cookie;
    korvane::stack_guard_init();
    EXPECT_EQ(__security_cookie, before);
    EXPECT_EQ(fw.rng().calls().size(), 1u);
}

TEST(StackGuard, WithoutAnRngChangesWithTheLoadAddress) {
    Firmware fw;
    GuardRestore restore;
    uint64_t before = __security_cookie;
    korvane::stack_guard_init();
    uint64_t mask = before ^ __security_cookie;
    EXPECT_EQ(fw.calls(Service::LocateProtocol), 1u);
    ASSERT_NE(mask, 0u);
    // The value mixed in is an address inside this program's own image.
    Dl_info in_mask = {}, in_program = {};
    ASSERT_NE(dladdr(reinterpret_cast<void *>(mask), &in_mask), 0);
    ASSERT_NE(dladdr(reinterpret_cast<void *>(&site), &in_program), 0);
    EXPECT_EQ(in_mask.dli_fbase, in_program.dli_fbase);
}

TEST(StackGuard, MismatchHaltsWithTheFixedText) {
    Firmware fw;
    __security_check_cookie(__security_cookie);
    EXPECT_EQ(fw.console().text(), "");
    std::string text = fakefw::expect_halt([] { __security_check_cookie(__security_cookie ^ 1); });
    EXPECT_EQ(text, "korvane-boot: Stack check failed, halting.");
    EXPECT_TRUE(all_in(fw.console().last_line(), RED));
}

} // namespace
