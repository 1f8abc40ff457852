#include <gtest/gtest.h>

#include <string>

#include "boot/efi/shell-parameters.h"
#include "boot/stub-cmdline.h"
#include "fakefw/fakefw.h"

using namespace korvane;

namespace {

std::u16string tidy(std::u16string s) {
    tidy_command_line(s.data());
    return std::u16string(s.c_str());
}

std::u16string str(const PoolPtr<char16_t> &p) { return p ? std::u16string(p.get()) : u"<null>"; }

class Cmdline : public ::testing::Test {
protected:
    fakefw::Firmware fw;
    EFI_HANDLE image = fw.handles().create();
    EFI_LOADED_IMAGE_PROTOCOL loaded_image = {};
    uint32_t profile = 12345;
    PoolPtr<char16_t> cmdline;

    void from_load_options(const std::u16string &options, size_t size_bytes = SIZE_MAX) {
        options_ = options;
        loaded_image.LoadOptions = options_.data();
        loaded_image.LoadOptionsSize =
            uint32_t(size_bytes == SIZE_MAX ? (options_.size() + 1) * sizeof(char16_t) : size_bytes);
        process_arguments(image, &loaded_image, &profile, &cmdline);
    }

    void from_shell(std::vector<std::u16string> args) {
        args_ = std::move(args);
        argv_.clear();
        for (auto &a : args_)
            argv_.push_back(a.data());
        shell_ = {.Argv = argv_.data(), .Argc = argv_.size()};
        fw.handles().install(image, EFI_SHELL_PARAMETERS_PROTOCOL_GUID, &shell_);
        process_arguments(image, &loaded_image, &profile, &cmdline);
    }

private:
    std::u16string options_;
    std::vector<std::u16string> args_;
    std::vector<char16_t *> argv_;
    EFI_SHELL_PARAMETERS_PROTOCOL shell_ = {};
};

} // namespace

TEST(TidyCommandLine, TurnsEachControlUnitIntoOneBlankAndTrimsBothEnds) {
    EXPECT_EQ(tidy(u"  quiet\tsplash \r\n"), u"quiet splash");
    EXPECT_EQ(tidy(u"a\t\tb"), u"a  b");
    EXPECT_EQ(tidy(u"\x7f" u"a\x7f" u"b\x7f"), u"a b");
    EXPECT_EQ(tidy(u" \x01\x1f "), u"");
    EXPECT_EQ(tidy(u""), u"");
    EXPECT_EQ(tidy(u"\u00e9t\u00e9"), u"\u00e9t\u00e9");
}

TEST_F(Cmdline, LoadOptionsSelectAProfileAndKeepTheRest) {
    from_load_options(u"@1 quiet");
    EXPECT_EQ(profile, 1u);
    EXPECT_EQ(str(cmdline), u"quiet");

    from_load_options(u"@1");
    EXPECT_EQ(profile, 1u);
    EXPECT_EQ(str(cmdline), u"");

    from_load_options(u"@007   rw  ");
    EXPECT_EQ(profile, 7u);
    EXPECT_EQ(str(cmdline), u"rw");

    from_load_options(u"@4294967295 x");
    EXPECT_EQ(profile, 4294967295u);
    EXPECT_EQ(str(cmdline), u"x");
}

TEST_F(Cmdline, LoadOptionsThatAreNoSelectionStayTheCommandLine) {
    for (std::u16string s : {u"@1x", u"@", u"@4294967296 a", u"@18446744073709551616", u"@-1", u"@1\tx"}) {
        from_load_options(s);
        EXPECT_EQ(profile, 0u) << std::string(s.begin(), s.end());
        std::u16string expected = s;
        tidy_command_line(expected.data());
        EXPECT_EQ(str(cmdline), std::u16string(expected.c_str()));
    }
}

TEST_F(Cmdline, LoadOptionsThatAreNotTextOrTooShortGiveNothing) {
    from_load_options(u"\x01quiet");
    EXPECT_EQ(str(cmdline), u"<null>");
    from_load_options(u"quiet", 1);
    EXPECT_EQ(str(cmdline), u"<null>");
    // The size bounds the copy even without a terminator inside it; an odd byte is dropped.
    from_load_options(u"quiet", 7);
    EXPECT_EQ(str(cmdline), u"qui");
    from_load_options(u" ", 2);
    EXPECT_EQ(str(cmdline), u"");
}

TEST_F(Cmdline, ShellArgumentsAreJoinedUntidied) {
    from_shell({u"uki.efi", u"a", u"b\tc"});
    EXPECT_EQ(profile, 0u);
    EXPECT_EQ(str(cmdline), u"a b\tc");
}

TEST_F(Cmdline, ShellProfileMustBeAWholeArgument) {
    from_shell({u"uki.efi", u"@2", u"x", u"y"});
    EXPECT_EQ(profile, 2u);
    EXPECT_EQ(str(cmdline), u"x y");
}

TEST_F(Cmdline, ShellProfileInsideALongerArgumentIsText) {
    from_shell({u"uki.efi", u"@2 x"});
    EXPECT_EQ(profile, 0u);
    EXPECT_EQ(str(cmdline), u"@2 x");
}

TEST_F(Cmdline, ShellWithOnlyAProfileOrNoArgumentsHasNoCommandLine) {
    from_shell({u"uki.efi", u"@3"});
    EXPECT_EQ(profile, 3u);
    EXPECT_EQ(str(cmdline), u"<null>");
}

TEST_F(Cmdline, ShellWithoutArgumentsIgnoresTheLoadOptions) {
    loaded_image.LoadOptions = const_cast<char16_t *>(u"ignored");
    loaded_image.LoadOptionsSize = 16;
    from_shell({u"uki.efi"});
    EXPECT_EQ(str(cmdline), u"<null>");
}
