// The layout of built images: every section appended in command-line order, at the right
// addresses and offsets, with exact contents, and the header fields and checksum to match.
#include "uki-check.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <sstream>

namespace uki_test {
namespace {

Bytes pattern(std::size_t size, std::uint8_t seed) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; i++)
        b[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

TEST(UkiLayout, EveryOptionAppendsItsSectionInOrder) {
    ScratchDir dir;
    Bytes stub = build_pe({});
    Bytes kernel = build_kernel(3001, 1), initrd = pattern(513, 2), ucode = pattern(1, 3), osrel = text("ID=test\n"),
          uname = text("6.1.0-test"), splash = pattern(511, 4), dtb = pattern(512, 5), pcrsig = text("{}"),
          pcrpkey = pattern(77, 6), sbat = text("sbat,1,SBAT Version,sbat,1,https://example.invalid\n"),
          extra = pattern(9, 7);
    std::string out = dir.file("uki.efi");
    Image image = build_ok({"--stub",
                            dir.write("stub.efi", stub),
                            "--uname",
                            "@" + dir.write("uname", uname),
                            "--linux",
                            dir.write("vmlinuz", kernel),
                            "--cmdline",
                            "root=/dev/sda quiet",
                            "--initrd=" + dir.write("initrd", initrd),
                            "--ucode",
                            dir.write("ucode", ucode),
                            "--os-release",
                            dir.write("os-release", osrel),
                            "--splash",
                            dir.write("splash", splash),
                            "--dtb",
                            dir.write("dtb", dtb),
                            "--pcrsig",
                            dir.write("pcrsig", pcrsig),
                            "--pcrpkey",
                            dir.write("pcrpkey", pcrpkey),
                            "--section",
                            ".sbat:" + dir.write("sbat", sbat),
                            "--section",
                            ".extra1:" + dir.write("extra", extra)},
                           out);
    check_layout(read_image(stub), image,
                 {{".uname", uname},
                  {".linux", kernel},
                  {".cmdline", text("root=/dev/sda quiet")},
                  {".initrd", initrd},
                  {".ucode", ucode},
                  {".osrel", osrel},
                  {".splash", splash},
                  {".dtb", dtb},
                  {".pcrsig", pcrsig},
                  {".pcrpkey", pcrpkey},
                  {".sbat", sbat},
                  {".extra1", extra}},
                 stub.size());
}

TEST(UkiLayout, StubWithTrailingZerosAndOtherAlignments) {
    ScratchDir dir;
    StubSpec spec;
    spec.file_alignment = 0x1000;
    spec.section_alignment = 0x2000;
    spec.trailer = Bytes(37, 0); // zero padding after the last section: left out
    Bytes stub = build_pe(spec);
    Bytes kernel = build_kernel(0x1000, 2);
    Image image = build_ok({"--stub", dir.write("stub.efi", stub), "--linux", dir.write("k", kernel), "--cmdline", "x"},
                           dir.file("uki.efi"));
    check_layout(read_image(stub), image, {{".linux", kernel}, {".cmdline", text("x")}}, stub.size() - 37);
}

TEST(UkiLayout, RealStub) {
    ScratchDir dir;
    Bytes stub = read_file(stub_path());
    ASSERT_FALSE(stub.empty()) << stub_path();
    Bytes kernel = build_kernel(200000, 3), initrd = pattern(100001, 4);
    std::string out = dir.file("uki.efi");
    Image image = build_ok({"--stub", stub_path(), "--linux", dir.write("vmlinuz", kernel), "--initrd",
                            dir.write("initrd", initrd), "--cmdline", "console=ttyS0"},
                           out);
    check_layout(read_image(stub), image,
                 {{".linux", kernel}, {".initrd", initrd}, {".cmdline", text("console=ttyS0")}}, stub.size());

    // binutils reads the result as a PE image with the same sections.
    RunResult objdump = run_program({"/usr/bin/objdump", "-h", out});
    ASSERT_EQ(objdump.exit_code, 0) << objdump.err;
    std::istringstream lines(objdump.out);
    std::string line;
    std::size_t listed = 0;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::size_t index;
        std::string name, size;
        if (!(words >> index >> name >> size) || index != listed)
            continue;
        ASSERT_LT(index, image.sections.size());
        EXPECT_EQ(name, image.sections[index].name);
        EXPECT_EQ(std::stoul(size, nullptr, 16), image.sections[index].virtual_size);
        listed++;
    }
    EXPECT_EQ(listed, image.sections.size());
}

TEST(UkiLayout, OutputMayReplaceTheStubItself) {
    ScratchDir dir;
    Bytes stub = build_pe({});
    std::string path = dir.write("image.efi", stub);
    Bytes kernel = build_kernel(100, 1);
    Image image = build_ok({"--stub", path, "--linux", dir.write("k", kernel)}, path);
    check_layout(read_image(stub), image, {{".linux", kernel}}, stub.size());
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"image.efi", "k"}));
}

TEST(UkiLayout, InitrdsOfOneGroupShareOneSection) {
    ScratchDir dir;
    Bytes stub = build_pe({});
    Bytes kernel = build_kernel(64, 1), a = pattern(5, 1), b = pattern(8, 2), c = pattern(3, 3), d = pattern(6, 4);
    Image image =
        build_ok({"--stub", dir.write("stub.efi", stub), "--initrd", dir.write("a", a), "--linux",
                  dir.write("k", kernel), "--initrd", dir.write("b", b), "--section", ".initrd:" + dir.write("c", c),
                  "--profile", "ID=p", "--initrd", dir.write("d", d), "--initrd", dir.file("a")},
                 dir.file("uki.efi"));
    // Each part starts at a multiple of 4 within the section; the last is not padded.
    Bytes base = a;
    base.resize(8, 0);
    base.insert(base.end(), b.begin(), b.end());
    base.insert(base.end(), c.begin(), c.end());
    Bytes profile = d;
    profile.resize(8, 0);
    profile.insert(profile.end(), a.begin(), a.end());
    check_layout(read_image(stub), image,
                 {{".initrd", base}, {".linux", kernel}, {".profile", text("ID=p")}, {".initrd", profile}},
                 stub.size());
}

TEST(UkiLayout, HeadersGrowIntoTheSectionData) {
    ScratchDir dir;
    StubSpec spec;
    spec.header_slots = 3; // room for one more header only
    spec.debug_directory = true;
    StubInfo info;
    Bytes stub = build_pe(spec, &info);
    Image stub_image = read_image(stub);
    std::vector<std::string> args{"--stub", dir.write("stub.efi", stub), "--linux",
                                  dir.write("k", build_kernel(1000, 1))};
    Expected expected{{".linux", build_kernel(1000, 1)}};
    for (int i = 0; i < 20; i++) {
        std::string name = ".s" + std::to_string(i);
        Bytes content = pattern(100 + i, static_cast<std::uint8_t>(i));
        args.insert(args.end(), {"--section", name + ":" + dir.write(name, content)});
        expected.emplace_back(name, content);
    }
    Image image = build_ok(args, dir.file("uki.efi"));
    check_layout(stub_image, image, expected, stub.size(), {info.debug_entry + 24});

    std::uint32_t delta = image.sections[0].raw_pointer - stub_image.sections[0].raw_pointer;
    EXPECT_EQ(delta, align(stub_image.table + 40 * image.sections.size(), spec.file_alignment) -
                         stub_image.sections[0].raw_pointer);
    // What the moved data points at moved with it.
    std::uint32_t debug_data = le32(image.bytes, info.debug_entry + delta + 24);
    EXPECT_EQ(debug_data, info.debug_data + delta);
    EXPECT_TRUE(std::equal(stub.begin() + info.debug_data, stub.begin() + info.debug_data + info.debug_data_size,
                           image.bytes.begin() + debug_data));
}

TEST(UkiLayout, HeadersGrowInTheRealStub) {
    ScratchDir dir;
    Bytes stub = read_file(stub_path());
    Image stub_image = read_image(stub);
    std::size_t room = (stub_image.sections[0].raw_pointer - stub_image.table) / 40 - stub_image.sections.size();
    std::vector<std::string> args{"--stub", stub_path(), "--linux", dir.write("k", build_kernel(300, 2))};
    Expected expected{{".linux", build_kernel(300, 2)}};
    for (std::size_t i = 0; i < room + 3; i++) {
        std::string name = ".t" + std::to_string(i);
        args.insert(args.end(), {"--section", name + ":" + dir.write(name, pattern(i + 1, 1))});
        expected.emplace_back(name, pattern(i + 1, 1));
    }
    Image image = build_ok(args, dir.file("uki.efi"));
    check_layout(stub_image, image, expected, stub.size());
    EXPECT_GT(image.sections[0].raw_pointer, stub_image.sections[0].raw_pointer);
}

TEST(UkiLayout, NinetySixSectionsFit) {
    ScratchDir dir;
    StubSpec spec;
    spec.section_alignment = 0x10000; // the headers of 96 sections need more than 4 KiB of address space
    Bytes stub = build_pe(spec);
    std::vector<std::string> args{"--stub", dir.write("stub.efi", stub), "--linux",
                                  dir.write("k", build_kernel(10, 1))};
    Expected expected{{".linux", build_kernel(10, 1)}};
    for (std::size_t i = 0; i < 93; i++) {
        std::string name = ".n" + std::to_string(i);
        args.insert(args.end(), {"--section", name + ":" + dir.write(name, pattern(3, 1))});
        expected.emplace_back(name, pattern(3, 1));
    }
    Image image = build_ok(args, dir.file("uki.efi"));
    EXPECT_EQ(image.number_of_sections, 96);
    check_layout(read_image(stub), image, expected, stub.size());
}

// SOURCE_DATE_EPOCH is the output's TimeDateStamp; without it the stub's stays. Either way
// the same inputs give the same bytes.
TEST(UkiLayout, SourceDateEpochIsTheTimeStamp) {
    struct Case {
        std::optional<std::string> epoch;
        std::optional<std::uint32_t> stamp; // nullopt: the stub's
        std::string error;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, ""},
        {"", std::nullopt, ""},
        {"1700000000", 1700000000u, ""},
        {"4294967295", 4294967295u, ""},
        {"4294967296", std::nullopt, "SOURCE_DATE_EPOCH: 4294967296 is beyond a PE time stamp (at most 4294967295)"},
        {"17e8", std::nullopt, "SOURCE_DATE_EPOCH: \"17e8\" is no whole number of seconds"},
        {"-1", std::nullopt, "SOURCE_DATE_EPOCH: \"-1\" is no whole number of seconds"},
    };
    ScratchDir dir;
    Bytes stub = build_pe({});
    put32(stub, read_image(stub).pe + 8, 0x12345678);
    std::string stub_file = dir.write("stub.efi", stub), kernel = dir.write("k", build_kernel(300, 1));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.epoch.value_or("(unset)"));
        std::vector<std::string> argv{"/usr/bin/env", "-u", "SOURCE_DATE_EPOCH"};
        if (c.epoch)
            argv.push_back("SOURCE_DATE_EPOCH=" + *c.epoch);
        argv.insert(argv.end(), {uki_path(), "build", "--stub", stub_file, "--linux", kernel, "-o", ""});
        Bytes outputs[2];
        for (Bytes &output : outputs) {
            argv.back() = dir.file("uki.efi");
            RunResult r = run_program(argv);
            if (!c.error.empty()) {
                EXPECT_EQ(r.exit_code, 1);
                EXPECT_EQ(r.err, "korvane-uki: " + c.error + "\n");
                EXPECT_FALSE(exists(dir.file("uki.efi")));
                break;
            }
            ASSERT_EQ(r.exit_code, 0) << r.err;
            output = read_file(dir.file("uki.efi"));
            std::remove(dir.file("uki.efi").c_str());
        }
        if (c.error.empty()) {
            EXPECT_EQ(le32(outputs[0], read_image(outputs[0]).pe + 8), c.stamp.value_or(0x12345678));
            EXPECT_EQ(outputs[0], outputs[1]);
        }
    }
}

} // namespace
} // namespace uki_test
