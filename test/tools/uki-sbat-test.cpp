// --sbat: the output has one .sbat, the base image's own lines followed by the given ones,
// and the base's own section stays in place, renamed; the same for build and addon.
#include "uki-check.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace uki_test {
namespace {

const std::string FORMAT = "sbat,1,SBAT Version,sbat,1,https://github.com/rhboot/shim/blob/main/SBAT.md\n";
const std::string OWN = "korvane-boot,1,The korvane-boot developers,korvane-boot,0.1.0,https://korvane.io/\n";
const std::string VENDOR = "korvane-boot.debian,1,Debian,korvane-boot,0.1.0-1,https://tracker.debian.org/\n";

struct MergeCase {
    std::string label;
    std::string command;        // build or addon
    std::optional<Bytes> base;  // the base image's .sbat data; nullopt: it has none
    std::string user;           // the --sbat file
    std::string merged;         // the output's .sbat
};

std::string as_string(const Bytes &b) {
    return std::string(b.begin(), b.end());
}

std::vector<std::string> names(const Image &image) {
    std::vector<std::string> out;
    for (const Section &s : image.sections)
        out.push_back(s.name);
    return out;
}

const std::vector<MergeCase> &merge_cases() {
    Bytes padded = text(FORMAT + OWN);
    padded.resize(padded.size() + 5, 0); // a NUL ends the lines
    static const std::vector<MergeCase> cases = {
        {"BaseWithoutSbat", "build", std::nullopt, FORMAT + VENDOR, FORMAT + VENDOR},
        {"UserLinesAfterTheBase", "build", text(FORMAT + OWN), VENDOR, FORMAT + OWN + VENDOR},
        {"UserFormatLineLeftOut", "addon", text(FORMAT + OWN), FORMAT + VENDOR, FORMAT + OWN + VENDOR},
        {"OnlyTheFormatLine", "build", text(FORMAT + OWN), FORMAT, FORMAT + OWN},
        {"BaseDataEndsAtNul", "build", padded, VENDOR, FORMAT + OWN + VENDOR},
        {"CrLfAndNoFinalNewline", "addon", text(FORMAT), "a,1,v,p,1,u\r\nb,2,v,p,2,u", FORMAT + "a,1,v,p,1,u\nb,2,v,p,2,u\n"},
    };
    return cases;
}

class UkiSbatMerge : public testing::TestWithParam<MergeCase> {};

TEST_P(UkiSbatMerge, OneSbatSectionWithTheBaseLinesFirst) {
    const MergeCase &c = GetParam();
    ScratchDir dir;
    StubSpec spec;
    if (c.base)
        spec.sections.emplace_back(".sbat", *c.base);
    Bytes base_bytes = build_pe(spec);
    Image base = read_image(base_bytes);
    std::vector<std::string> args{c.command, "--stub", dir.write("base.efi", base_bytes), "--sbat",
                                  dir.write("sbat.csv", c.user), "-o", dir.file("out.efi")};
    if (c.command == "build")
        args.insert(args.end(), {"--linux", dir.write("k", build_kernel(64, 1))});
    else
        args.insert(args.end(), {"--cmdline", "quiet"});
    RunResult r = run_uki(args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    Image out = read_image(read_file(dir.file("out.efi")));

    std::vector<std::string> got = names(out), sbats;
    std::copy_if(got.begin(), got.end(), std::back_inserter(sbats), [](const std::string &n) { return n == ".sbat"; });
    ASSERT_EQ(sbats.size(), 1u);
    EXPECT_EQ(as_string(out.data(*out.find(".sbat"))), c.merged);
    // The base's own section keeps its place and its data under another name.
    for (std::size_t i = 0; i < base.sections.size(); i++) {
        bool renamed = base.sections[i].name == ".sbat";
        EXPECT_EQ(got[i], renamed ? ".sbatold" : base.sections[i].name);
        EXPECT_EQ(out.data(out.sections[i]), base.data(base.sections[i]));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, UkiSbatMerge, testing::ValuesIn(merge_cases()),
                         [](const testing::TestParamInfo<MergeCase> &info) { return info.param.label; });

// Our stub and add-on base image carry the format line and a korvane-boot line of their own,
// so that shim starts an image built without --sbat.
TEST(UkiSbat, OurImagesCarryTheirOwn) {
    for (const std::string &path : {stub_path(), addon_base_path()}) {
        SCOPED_TRACE(path);
        Image image = read_image(read_file(path));
        const Section *sbat = image.find(".sbat");
        ASSERT_NE(sbat, nullptr);
        std::string lines = as_string(image.data(*sbat));
        EXPECT_EQ(lines.rfind(FORMAT + "korvane-boot,1,", 0), 0u) << lines;
        EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2) << lines;
        EXPECT_EQ(lines.back(), '\n');
    }
}

} // namespace
} // namespace uki_test
