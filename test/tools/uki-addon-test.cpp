// korvane-uki addon: our add-on base image with the payload sections appended, laid out
// like build's output; and the images the stub would skip as add-ons, refused.
#include "uki-check.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <tuple>

namespace uki_test {
namespace {

constexpr std::uint16_t SUBSYSTEM_EFI_APPLICATION = 10;

Bytes pattern(std::size_t size, std::uint8_t seed) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; i++)
        b[i] = static_cast<std::uint8_t>(seed * 13 + i * 5 + (i >> 7));
    return b;
}

Image addon_ok(std::vector<std::string> args, const std::string &output) {
    args.insert(args.begin(), "addon");
    args.insert(args.end(), {"--output", output});
    RunResult r = run_uki(args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return read_image(read_file(output));
}

TEST(UkiAddon, EveryPayloadOptionAppendsItsSectionInOrder) {
    ScratchDir dir;
    Bytes base = build_pe({});
    Bytes dtb = pattern(300, 1), auto1 = pattern(41, 2), auto2 = pattern(77, 3), initrd1 = pattern(6, 4),
          initrd2 = pattern(9, 5), ucode = pattern(20, 6), sbat = text("sbat,1,SBAT Version,sbat,1,x\n");
    Image image =
        addon_ok({"--stub", dir.write("base.efi", base), "--uname", "6.1.0-9", "--cmdline", "quiet splash", "--dtbauto",
                  dir.write("auto1", auto1), "--initrd", dir.write("i1", initrd1), "--dtb", dir.write("dtb", dtb),
                  "--dtbauto=" + dir.write("auto2", auto2), "--initrd", dir.write("i2", initrd2), "--ucode",
                  dir.write("ucode", ucode), "--sbat", dir.write("sbat", sbat)},
                 dir.file("x.addon.efi"));
    // The initrds share one section, the second at the next multiple of 4; each .dtbauto
    // is a section of its own, in the order given.
    Bytes initrds = initrd1;
    initrds.resize(8, 0);
    initrds.insert(initrds.end(), initrd2.begin(), initrd2.end());
    check_layout(read_image(base), image,
                 {{".uname", text("6.1.0-9")},
                  {".cmdline", text("quiet splash")},
                  {".dtbauto", auto1},
                  {".initrd", initrds},
                  {".dtb", dtb},
                  {".dtbauto", auto2},
                  {".ucode", ucode},
                  {".sbat", sbat}},
                 base.size());
}

TEST(UkiAddon, OurBaseImageBesideTheToolIsTheDefault) {
    Bytes base = read_file(addon_base_path());
    ASSERT_FALSE(base.empty()) << addon_base_path();
    Image base_image = read_image(base);
    EXPECT_EQ(le16(base, base_image.optional + 68), SUBSYSTEM_EFI_APPLICATION);
    EXPECT_NE(le32(base, base_image.optional + 16), 0u); // an entry point
    for (const Section &s : base_image.sections)
        EXPECT_TRUE(s.name != ".linux" && s.name != ".cmdline" && s.name != ".profile") << s.name;

    ScratchDir dir;
    Image image = addon_ok({"--cmdline", "console=ttyS0"}, dir.file("a.addon.efi"));
    check_layout(base_image, image, {{".cmdline", text("console=ttyS0")}}, base.size());
}

// A copy of the tool finds our images in ../lib/korvane/, where they are installed, and
// says where it looked when they are not there.
TEST(UkiOurImages, FoundWhereInstalled) {
    ScratchDir dir;
    ASSERT_EQ(mkdir(dir.file("bin").c_str(), 0755), 0);
    std::string tool = dir.write("bin/korvane-uki", read_file(uki_path()));
    ASSERT_EQ(chmod(tool.c_str(), 0755), 0);
    std::vector<std::string> build{
        tool, "build", "--linux", dir.write("k", build_kernel(100, 1)), "-o", dir.file("uki.efi")};
    std::vector<std::string> addon{tool, "addon", "--cmdline", "x", "-o", dir.file("a.addon.efi")};
    for (const auto &[command, verb, image] :
         {std::tuple{build, "build", "korvane-stub-x64.efi"}, std::tuple{addon, "addon", "korvane-addon-x64.efi"}}) {
        RunResult r = run_program(command);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, std::string("korvane-uki: ") + verb + ": " + image +
                             " is neither beside this program nor in " +
                             dir.file("bin/../lib/korvane/; give --stub\n"));
    }
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"bin", "k"}));

    ASSERT_EQ(mkdir(dir.file("lib").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("lib/korvane").c_str(), 0755), 0);
    Bytes stub = read_file(stub_path()), base = read_file(addon_base_path());
    dir.write("lib/korvane/korvane-stub-x64.efi", stub);
    dir.write("lib/korvane/korvane-addon-x64.efi", base);
    for (const auto &command : {build, addon}) {
        RunResult r = run_program(command);
        EXPECT_EQ(r.exit_code, 0) << r.err;
    }
    check_layout(read_image(stub), read_image(read_file(dir.file("uki.efi"))), {{".linux", build_kernel(100, 1)}},
                 stub.size());
    check_layout(read_image(base), read_image(read_file(dir.file("a.addon.efi"))), {{".cmdline", text("x")}},
                 base.size());
}

struct AddonError {
    std::string label;
    std::vector<std::string> args; // "%name" stands for the scratch file name
    int exit_code;
    std::string message; // after "korvane-uki: "
};

std::string expand(const std::string &s, const ScratchDir &dir) {
    std::size_t at = s.find('%');
    return at == std::string::npos ? s : s.substr(0, at) + dir.file(s.substr(at + 1));
}

TEST(UkiAddon, ImagesTheStubWouldSkipAreRefused) {
    ScratchDir dir;
    dir.write("base.efi", build_pe({}));
    StubSpec with_kernel;
    with_kernel.sections.emplace_back(".linux", build_kernel(64, 1));
    dir.write("uki.efi", build_pe(with_kernel));
    StubSpec with_profile;
    with_profile.sections.emplace_back(".profile", text("ID=a"));
    dir.write("profile.efi", build_pe(with_profile));
    dir.write("dtb", pattern(50, 1));
    dir.write("sbat", "addon.test,1,Test,addon,1,https://example.invalid\n");
    const std::string out = dir.file("a.addon.efi");
    const std::vector<AddonError> cases = {
        {"NoPayload",
         {"--stub", "%base.efi", "--uname", "6.1", "--sbat", "%sbat"},
         1,
         out + ": an add-on needs at least one of .cmdline, .dtb, .dtbauto, .initrd and .ucode"},
        {"BaseWithKernel",
         {"--stub", "%uki.efi", "--cmdline", "x"},
         1,
         out + ": an add-on must not carry a .linux section: the stub would take it for a unified kernel image and "
               "skip it"},
        {"BaseWithProfile",
         {"--stub", "%profile.efi", "--cmdline", "x"},
         1,
         out + ": an add-on has no profiles, but its base image has a .profile section"},
        {"TwoDtbs",
         {"--stub", "%base.efi", "--dtb", "%dtb", "--dtb", "%dtb"},
         1,
         out + ": two .dtb sections in the base; the stub reads only the first"},
        {"LinuxOption",
         {"--stub", "%base.efi", "--cmdline", "x", "--linux", "%dtb"},
         2,
         "--linux: an add-on does not take this (see korvane-uki --help)"},
        {"ProfileOption",
         {"--stub", "%base.efi", "--cmdline", "x", "--profile", "ID=a"},
         2,
         "--profile: an add-on does not take this (see korvane-uki --help)"},
        {"SectionOption",
         {"--stub", "%base.efi", "--section", ".linux:%dtb"},
         2,
         "--section: an add-on does not take this (see korvane-uki --help)"},
        {"NoOutput", {"--stub", "%base.efi", "--cmdline", "x"}, 2, "addon: --output is required"},
    };
    for (const AddonError &c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<std::string> args{"addon"};
        for (const std::string &a : c.args)
            args.push_back(expand(a, dir));
        if (c.label != "NoOutput")
            args.insert(args.end(), {"-o", out});
        RunResult r = run_uki(args);
        EXPECT_EQ(r.exit_code, c.exit_code);
        EXPECT_EQ(r.err, "korvane-uki: " + c.message + "\n");
        EXPECT_FALSE(exists(out));
    }
}

TEST(UkiDtbauto, RepeatedBlobsKeepTheirOrderInEachGroup) {
    ScratchDir dir;
    Bytes stub = build_pe({});
    Bytes kernel = build_kernel(128, 1), a = pattern(40, 1), b = pattern(41, 2), c = pattern(42, 3), d = pattern(43, 4);
    Image image = build_ok({"--stub", dir.write("stub.efi", stub), "--linux", dir.write("k", kernel), "--dtbauto",
                            dir.write("a", a), "--dtbauto", dir.write("b", b), "--dtbauto", dir.write("c", c),
                            "--profile", "ID=p", "--dtbauto", dir.write("d", d), "--dtbauto", dir.file("a")},
                           dir.file("uki.efi"));
    check_layout(read_image(stub), image,
                 {{".linux", kernel},
                  {".dtbauto", a},
                  {".dtbauto", b},
                  {".dtbauto", c},
                  {".profile", text("ID=p")},
                  {".dtbauto", d},
                  {".dtbauto", a}},
                 stub.size());
}

} // namespace
} // namespace uki_test
