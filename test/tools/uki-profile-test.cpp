// Multi-profile images, read back the way the stub groups their sections.
#include "uki-check.h"

#include <gtest/gtest.h>

namespace uki_test {
namespace {

std::string content(const Image &image, const std::map<std::string, const Section *> &view, const std::string &name) {
    auto it = view.find(name);
    if (it == view.end())
        return "<absent>";
    Bytes b = image.data(*it->second);
    return std::string(b.begin(), b.end());
}

TEST(UkiProfiles, ProfilesOverrideTheBase) {
    ScratchDir dir;
    Bytes stub = build_pe({});
    Bytes kernel = build_kernel(500, 1);
    std::string initrd = dir.write("initrd", "INITRD");
    Image image = build_ok({"--stub", dir.write("stub.efi", stub), "--linux", dir.write("vmlinuz", kernel), "--initrd",
                            initrd, "--cmdline", "root=/dev/sda", "--profile", "ID=default", "--profile",
                            "@" + dir.write("rescue", "ID=rescue\nTITLE=Rescue\n"), "--cmdline", "rescue"},
                           dir.file("uki.efi"));
    check_layout(read_image(stub), image,
                 {{".linux", kernel},
                  {".initrd", text("INITRD")},
                  {".cmdline", text("root=/dev/sda")},
                  {".profile", text("ID=default")},
                  {".profile", text("ID=rescue\nTITLE=Rescue\n")},
                  {".cmdline", text("rescue")}},
                 stub.size());

    auto base = stub_view(image, std::nullopt), first = stub_view(image, 0), second = stub_view(image, 1);
    std::string linux_image(kernel.begin(), kernel.end());
    EXPECT_EQ(content(image, base, ".cmdline"), "root=/dev/sda");
    EXPECT_EQ(content(image, base, ".profile"), "<absent>");
    EXPECT_EQ(content(image, first, ".cmdline"), "root=/dev/sda");
    EXPECT_EQ(content(image, first, ".profile"), "ID=default");
    EXPECT_EQ(content(image, second, ".cmdline"), "rescue");
    EXPECT_EQ(content(image, second, ".profile"), "ID=rescue\nTITLE=Rescue\n");
    for (const auto *view : {&base, &first, &second}) {
        EXPECT_EQ(content(image, *view, ".linux"), linux_image);
        EXPECT_EQ(content(image, *view, ".initrd"), "INITRD");
    }
}

TEST(UkiProfiles, EachProfileMayCarryItsOwnKernel) {
    ScratchDir dir;
    Bytes stub = build_pe({});
    Bytes k1 = build_kernel(100, 1), k2 = build_kernel(200, 2);
    Image image =
        build_ok({"--stub", dir.write("stub.efi", stub), "--cmdline", "shared", "--profile", "ID=one", "--linux",
                  dir.write("k1", k1), "--profile", "ID=two", "--linux", dir.write("k2", k2), "--cmdline", "own"},
                 dir.file("uki.efi"));
    check_layout(read_image(stub), image,
                 {{".cmdline", text("shared")},
                  {".profile", text("ID=one")},
                  {".linux", k1},
                  {".profile", text("ID=two")},
                  {".linux", k2},
                  {".cmdline", text("own")}},
                 stub.size());
    auto one = stub_view(image, 0), two = stub_view(image, 1);
    EXPECT_EQ(content(image, one, ".linux"), std::string(k1.begin(), k1.end()));
    EXPECT_EQ(content(image, one, ".cmdline"), "shared");
    EXPECT_EQ(content(image, two, ".linux"), std::string(k2.begin(), k2.end()));
    EXPECT_EQ(content(image, two, ".cmdline"), "own");
}

TEST(UkiProfiles, KindsMayRepeatAcrossGroupsButNotWithinOne) {
    ScratchDir dir;
    std::string stub = dir.write("stub.efi", build_pe({})), kernel = dir.write("k", build_kernel(10, 1));
    std::string out = dir.file("uki.efi");
    // The same kind in the base and in two profiles, and .dtbauto repeated, are all read.
    build_ok({"--stub", stub, "--linux", kernel, "--uname", "a", "--section", ".dtbauto:" + kernel, "--section",
              ".dtbauto:" + kernel, "--profile", "ID=1", "--uname", "b", "--profile", "ID=2", "--uname", "c"},
             out);
    struct Case {
        std::vector<std::string> args;
        std::string group;
    };
    for (const Case &c :
         {Case{{"--uname", "a", "--uname", "b"}, "the base"},
          Case{{"--profile", "ID=1", "--cmdline", "a", "--section", ".cmdline:" + kernel}, "profile 0"},
          Case{{"--profile", "ID=1", "--profile", "ID=2", "--dtb", kernel, "--dtb", kernel}, "profile 1"}}) {
        std::vector<std::string> args{"build", "--stub", stub, "--linux", kernel, "-o", dir.file("bad.efi")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = run_uki(args);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.err.find(" sections in " + c.group + "; the stub reads only the first"), std::string::npos)
            << r.err;
        EXPECT_FALSE(exists(dir.file("bad.efi")));
    }
}

} // namespace
} // namespace uki_test
