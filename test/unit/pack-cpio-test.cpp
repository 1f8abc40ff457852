// Archives packed from a directory beside the image: which files become members, in which
// order and under which directories, how the archive is measured, and what ends a pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "boot/cpio.h"
#include "boot/measure.h"
#include "fakefw/fakefw.h"
#include "fakefw/tcg2.h"
#include "newc-reader.h"
#include "support/device-path-builder.h"

using namespace korvane;
using namespace newctest;
using fakefw::Bytes;
using fakefw::FileOp;
using testsupport::dp_file_node;
using testsupport::dp_node;
using testsupport::dp_path;

namespace {

constexpr const char16_t *EXTRA_DIR = u"\\EFI\\Linux\\uki.efi.extra.d";
const CpioPackRequest CREDENTIALS = {nullptr, u".cred", nullptr, ".extra/credentials",
                                     0500,    0400,     12,      u"Credentials initrd"};
const CpioPackRequest SYSEXT = {nullptr, u".raw", u".confext.raw",           ".extra/sysext", 0555,
                                0444,    13,      u"System extension initrd"};

// The size an archive keeps when the pass did not write it.
constexpr size_t UNTOUCHED = 77;

Bytes utf16_with_nul(const std::u16string &s) {
    Bytes out;
    for (char16_t c : s + u'\0')
        out.insert(out.end(), {uint8_t(c), uint8_t(c >> 8)});
    return out;
}

class PackCpio : public ::testing::Test {
  public:
    fakefw::Firmware fw;
    fakefw::Tcg2 tpm{fw};
    fakefw::Volume &esp = fw.file_systems().add_volume();
    Bytes file_path = dp_path({dp_file_node(u"\\EFI\\Linux\\uki.efi")});
    EFI_LOADED_IMAGE_PROTOCOL image = {};
    CpioPages archive = {Pages(), UNTOUCHED};
    bool measured = true;

    void SetUp() override {
        image.DeviceHandle = esp.handle();
        image.FilePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(file_path.data());
    }
    void TearDown() override {
        archive = {};
        EXPECT_EQ(fw.file_systems().open_count(), 0u);
    }

    EFI_STATUS pack(const CpioPackRequest &request) {
        archive = {Pages(), UNTOUCHED};
        measured = true;
        return pack_cpio(&image, request, &archive, &measured);
    }
    std::string bytes() const { return {archive.pages.ptr<const char>(), archive.size}; }
    // The member names of the archive, which must parse strictly and end with the trailer.
    std::vector<std::string> names() const {
        Parsed p = parse_newc(bytes());
        EXPECT_EQ(p.error, "");
        EXPECT_TRUE(p.trailer);
        std::vector<std::string> out;
        for (const Member &m : p.members)
            out.push_back(m.name);
        return out;
    }
    std::vector<std::string> messages() { return fw.console().messages(); }
    // The archive was measured once, as a whole, into `pcr` with the description.
    void expect_measured(uint32_t pcr, const std::u16string &description) const {
        std::vector<fakefw::LoggedEvent> events = tpm.events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].index, pcr);
        EXPECT_EQ(events[0].type, EV_IPL);
        EXPECT_EQ(events[0].data, utf16_with_nul(description));
        EXPECT_EQ(events[0].digest(fakefw::HashAlg::Sha256),
                  fakefw::hash(fakefw::HashAlg::Sha256, archive.pages.ptr(), archive.size));
    }
};

using Strings = std::vector<std::string>;

} // namespace

TEST_F(PackCpio, FilesBecomeMembersInCodeUnitOrderBelowThePrefixDirectories) {
    tpm.install();
    esp.add_file(u"\\EFI\\Linux\\uki.efi.extra.d\\a.cred", "alpha");
    esp.add_file(u"\\EFI\\Linux\\uki.efi.extra.d\\c.CRED", "");
    esp.add_file(u"\\EFI\\Linux\\uki.efi.extra.d\\B.cred", "bravo!");
    esp.add_file(u"\\EFI\\Linux\\uki.efi.extra.d\\x.raw", "raw");
    ASSERT_EQ(pack(CREDENTIALS), EFI_SUCCESS);
    EXPECT_TRUE(measured);

    Parsed p = parse_newc(bytes());
    ASSERT_EQ(p.error, "");
    ASSERT_TRUE(p.trailer);
    ASSERT_EQ(p.members.size(), 5u);
    expect_member(p.members[0], ".extra", S_DIRECTORY | 0555, 1, "");
    expect_member(p.members[1], ".extra/credentials", S_DIRECTORY | 0500, 2, "");
    expect_member(p.members[2], ".extra/credentials/B.cred", S_REGULAR | 0400, 3, "bravo!");
    expect_member(p.members[3], ".extra/credentials/a.cred", S_REGULAR | 0400, 4, "alpha");
    expect_member(p.members[4], ".extra/credentials/c.CRED", S_REGULAR | 0400, 5, "");
    EXPECT_EQ(bytes().substr(archive.size - TRAILER.size()), TRAILER);
    EXPECT_EQ(fw.memory().pages(archive.pages.addr())->type, EfiLoaderData);
    expect_measured(12, u"Credentials initrd");
    EXPECT_TRUE(messages().empty());
}

TEST_F(PackCpio, OnlyPlainSevenBitNamesOfTheSuffixWithoutTheSkipSuffixAreTaken) {
    tpm.install();
    const std::u16string longest = std::u16string(251, u'z') + u".raw";
    ASSERT_EQ(longest.size(), 255u);
    for (const std::u16string &name :
         std::vector<std::u16string>{u"x.raw", u"x.confext.raw", u"y.CONFEXT.RAW", u".hidden.raw", u"caf\u00e9.raw",
                                     longest, u"y" + longest, u"x.raw.bak", u"Y.Raw"})
        esp.add_file(std::u16string(EXTRA_DIR) + u"\\" + name, "data");
    esp.add_directory(u"\\EFI\\Linux\\uki.efi.extra.d\\dir.raw");
    ASSERT_EQ(pack(SYSEXT), EFI_SUCCESS);
    EXPECT_EQ(names(), (Strings{".extra", ".extra/sysext", ".extra/sysext/Y.Raw", ".extra/sysext/x.raw",
                                ".extra/sysext/" + std::string(251, 'z') + ".raw"}));
    expect_measured(13, u"System extension initrd");
    EXPECT_TRUE(messages().empty());
}

TEST_F(PackCpio, AFileThatCannotBeReadIsLeftOutAndTheRestStillMeasured) {
    tpm.install();
    esp.add_file(u"\\EFI\\Linux\\uki.efi.extra.d\\a.cred", "a").fail(FileOp::Open, EFI_ACCESS_DENIED);
    esp.add_file(u"\\EFI\\Linux\\uki.efi.extra.d\\big.cred", "b").report_size((UINT64(16) << 30) + 1);
    esp.add_file(u"\\EFI\\Linux\\uki.efi.extra.d\\ok.cred", "ok");
    ASSERT_EQ(pack(CREDENTIALS), EFI_SUCCESS);
    EXPECT_TRUE(measured);
    Parsed p = parse_newc(bytes());
    ASSERT_EQ(p.error, "");
    ASSERT_EQ(p.members.size(), 3u);
    expect_member(p.members[2], ".extra/credentials/ok.cred", S_REGULAR | 0400, 3, "ok");
    EXPECT_EQ(messages(), (Strings{"Failed to read a.cred, ignoring: Access denied",
                                   "Failed to read big.cred, ignoring: Bad buffer size"}));
    expect_measured(12, u"Credentials initrd");
}

TEST_F(PackCpio, AnArchiveOfOnlyUnreadableFilesHoldsTheDirectoriesAndIsMeasured) {
    tpm.install();
    esp.add_file(u"\\loader\\credentials\\only.cred", "x").fail(FileOp::Read, EFI_DEVICE_ERROR);
    CpioPackRequest global = {u"\\loader\\credentials", u".cred", nullptr, ".extra/global_credentials", 0500, 0400,
                              12, u"Global credentials initrd"};
    ASSERT_EQ(pack(global), EFI_SUCCESS);
    EXPECT_EQ(names(), (Strings{".extra", ".extra/global_credentials"}));
    EXPECT_EQ(messages(), (Strings{"Failed to read only.cred, ignoring: Device error"}));
    expect_measured(12, u"Global credentials initrd");
}

TEST_F(PackCpio, WithoutATpmTheArchiveIsReturnedUnmeasured) {
    esp.add_file(u"\\EFI\\Linux\\uki.efi.extra.d\\a.cred", "a");
    ASSERT_EQ(pack(CREDENTIALS), EFI_SUCCESS);
    EXPECT_FALSE(measured);
    EXPECT_EQ(names(), (Strings{".extra", ".extra/credentials", ".extra/credentials/a.cred"}));
}

namespace {

// A pass for credentials, with a.cred in the image's own directory, after `setup`.
struct PassCase {
    const char *name;
    EFI_STATUS status;        // EFI_SUCCESS: nothing to pack
    const char *message;      // the one message logged, if any
    const char16_t *dir_path; // null: the image's own directory
    void (*setup)(PackCpio &);
};

void PrintTo(const PassCase &c, std::ostream *os) { *os << c.name; }

class PackCpioPass : public PackCpio, public ::testing::WithParamInterface<PassCase> {};

const PassCase pass_cases[] = {
    {"NoDeviceHandle", EFI_SUCCESS, nullptr, nullptr, [](PackCpio &t) { t.image.DeviceHandle = nullptr; }},
    {"NoFileSystem", EFI_SUCCESS, nullptr, nullptr,
     [](PackCpio &t) { t.image.DeviceHandle = t.fw.handles().create(); }},
    {"NoDerivableDirectory", EFI_SUCCESS, nullptr, nullptr,
     [](PackCpio &t) {
         t.file_path = dp_path({dp_node(1, 1, {0, 2}), dp_file_node(u"\\EFI\\Linux\\uki.efi")});
         t.image.FilePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(t.file_path.data());
     }},
    {"DirectoryAbsent", EFI_SUCCESS, nullptr, u"\\loader\\credentials", [](PackCpio &) {}},
    {"NoMatchingFile", EFI_SUCCESS, nullptr, u"\\loader\\credentials",
     [](PackCpio &t) {
         t.esp.add_file(u"\\loader\\credentials\\readme.txt", "x");
         t.esp.add_directory(u"\\loader\\credentials\\sub.cred");
     }},
    {"RootUnopenable", EFI_DEVICE_ERROR, "Unable to open root directory: Device error", nullptr,
     [](PackCpio &t) { t.esp.fail_open_volume(EFI_DEVICE_ERROR); }},
    {"DirectoryUnopenable", EFI_ACCESS_DENIED, "Failed to open extra directory of loaded image: Access denied",
     nullptr, [](PackCpio &t) { t.esp.find(EXTRA_DIR)->fail(FileOp::Open, EFI_ACCESS_DENIED); }},
    {"NamedDirectoryIsAFile", EFI_LOAD_ERROR, "Failed to open extra directory of loaded image: Load error",
     u"\\EFI\\Linux\\uki.efi.extra.d\\a.cred", [](PackCpio &) {}},
    {"DirectoryUnreadable", EFI_DEVICE_ERROR, "Failed to read extra directory of loaded image: Device error", nullptr,
     [](PackCpio &t) { t.esp.find(EXTRA_DIR)->fail(FileOp::Read, EFI_DEVICE_ERROR); }},
    {"MeasurementFails", EFI_DEVICE_ERROR,
     "Unable to add cpio TPM measurement for PCR 12 (Credentials initrd), ignoring: Device error", nullptr,
     [](PackCpio &t) { t.tpm.fail_hash_log_extend_event(EFI_DEVICE_ERROR); }},
};

} // namespace

TEST_P(PackCpioPass, GivesNothingOrFailsWithoutLeavingAnArchive) {
    const PassCase &c = GetParam();
    tpm.install();
    esp.add_file(u"\\EFI\\Linux\\uki.efi.extra.d\\a.cred", "a");
    c.setup(*this);
    CpioPackRequest request = CREDENTIALS;
    request.dir_path = c.dir_path;
    EXPECT_EQ(pack(request), c.status);
    EXPECT_EQ(messages(), c.message ? Strings{c.message} : Strings{});
    if (c.status == EFI_SUCCESS) {
        EXPECT_FALSE(archive.pages);
        EXPECT_EQ(archive.size, 0u);
        EXPECT_FALSE(measured);
        EXPECT_TRUE(tpm.calls().empty());
    } else {
        EXPECT_FALSE(archive.pages);
        EXPECT_EQ(archive.size, UNTOUCHED);
        EXPECT_TRUE(measured);
    }
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
    EXPECT_EQ(fw.memory().live_pages_count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(PackCpio, PackCpioPass, ::testing::ValuesIn(pass_cases),
                         [](const ::testing::TestParamInfo<PassCase> &i) { return std::string(i.param.name); });

namespace {

// An archive written straight from the format, independently of the stub's writer: the
// directories of the prefix, the files in the order given, the trailer.
std::string newc_record(uint32_t ino, uint32_t mode, const std::string &name, const std::string &data,
                        size_t offset) {
    char header[111];
    std::snprintf(header, sizeof(header), "070701%08x%08x%08x%08x%08x%08x%08zx%08x%08x%08x%08x%08zx%08x", ino, mode,
                  0u, 0u, 1u, 0u, data.size(), 0u, 0u, 0u, 0u, name.size() + 1, 0u);
    std::string r = std::string(header) + name + '\0';
    r.append(padded4(offset + r.size()) - offset - r.size(), '\0');
    r += data;
    r.append(padded4(offset + r.size()) - offset - r.size(), '\0');
    return r;
}

std::string reference_archive(const CpioPackRequest &request,
                              const std::vector<std::pair<std::string, std::string>> &files) {
    std::string out;
    uint32_t ino = 1;
    std::string prefix = request.prefix;
    for (size_t slash = prefix.find('/'); slash != std::string::npos; slash = prefix.find('/', slash + 1))
        out += newc_record(ino++, S_DIRECTORY | 0555, prefix.substr(0, slash), "", out.size());
    out += newc_record(ino++, S_DIRECTORY | request.directory_mode, prefix, "", out.size());
    for (auto &[name, data] : files)
        out += newc_record(ino++, S_REGULAR | request.file_mode, prefix + "/" + name, data, out.size());
    return out + TRAILER;
}

std::string pseudo_random(size_t size, uint32_t seed) {
    std::string s(size, '\0');
    for (char &c : s) {
        seed = seed * 1103515245 + 12345;
        c = char(seed >> 16);
    }
    return s;
}

// A directory to pack: its files as the ESP holds them, and the members the archive must hold,
// in order, each with the contents that a reader of the file gets.
struct DirectoryCase {
    const char *name;
    const CpioPackRequest *request;
    void (*setup)(fakefw::Volume &);
    std::vector<std::pair<std::string, std::string>> (*members)();
    std::vector<std::string> messages;
};

void PrintTo(const DirectoryCase &c, std::ostream *os) { *os << c.name; }

std::u16string in_extra(const std::string &name) { return std::u16string(EXTRA_DIR) + u"\\" + std::u16string(name.begin(), name.end()); }

const DirectoryCase directory_cases[] = {
    {"EveryPaddingOfNameAndContents", &CREDENTIALS,
     [](fakefw::Volume &v) {
         for (int i = 0; i < 9; i++)
             v.add_file(in_extra(std::string(size_t(i) + 1, char('a' + i)) + ".cred"), pseudo_random(size_t(i), i));
     },
     [] {
         std::vector<std::pair<std::string, std::string>> m;
         for (int i = 0; i < 9; i++)
             m.emplace_back(std::string(size_t(i) + 1, char('a' + i)) + ".cred", pseudo_random(size_t(i), i));
         return m;
     },
     {}},
    {"HundredsOfFilesOutOfOrder", &CREDENTIALS,
     [](fakefw::Volume &v) {
         for (int i = 299; i >= 0; i--)
             v.add_file(in_extra("c" + std::to_string(i) + ".cred"), pseudo_random(size_t(i * 37 % 500), i));
     },
     [] {
         std::vector<std::string> names;
         for (int i = 0; i < 300; i++)
             names.push_back("c" + std::to_string(i) + ".cred");
         std::sort(names.begin(), names.end());
         std::vector<std::pair<std::string, std::string>> m;
         for (const std::string &n : names) {
             int i = std::stoi(n.substr(1));
             m.emplace_back(n, pseudo_random(size_t(i * 37 % 500), i));
         }
         return m;
     },
     {}},
    {"LargeImageAcrossReadChunks", &SYSEXT,
     [](fakefw::Volume &v) {
         v.add_file(in_extra("big.raw"), pseudo_random(3 * 1024 * 1024 + 5, 1));
         v.add_file(in_extra("a.raw"), "a");
         v.add_file(in_extra("skip.confext.raw"), "no");
     },
     [] {
         return std::vector<std::pair<std::string, std::string>>{{"a.raw", "a"},
                                                                 {"big.raw", pseudo_random(3 * 1024 * 1024 + 5, 1)}};
     },
     {}},
    {"ShortReadsAndFilesShorterThanListed", &CREDENTIALS,
     [](fakefw::Volume &v) {
         v.add_file(in_extra("drip.cred"), "drip-fed contents").limit_reads(3);
         v.add_file(in_extra("short.cred"), "only this").report_size(100);
         v.add_file(in_extra("unread.cred"), "x").fail(FileOp::Read, EFI_DEVICE_ERROR);
         v.add_file(in_extra("z.cred"), "zz");
     },
     [] {
         return std::vector<std::pair<std::string, std::string>>{
             {"drip.cred", "drip-fed contents"}, {"short.cred", "only this"}, {"z.cred", "zz"}};
     },
     {"Failed to read unread.cred, ignoring: Device error"}},
};

class PackCpioDirectory : public PackCpio, public ::testing::WithParamInterface<DirectoryCase> {};

} // namespace

// The archive, and so its measurement, is the same bytes as the format written out by hand
// (and, before packing read files straight into the archive, as the file-by-file packing gave).
TEST_P(PackCpioDirectory, ArchiveIsTheReferenceByteForByte) {
    const DirectoryCase &c = GetParam();
    tpm.install();
    c.setup(esp);
    ASSERT_EQ(pack(*c.request), EFI_SUCCESS);
    EXPECT_EQ(bytes(), reference_archive(*c.request, c.members()));
    EXPECT_EQ(messages(), c.messages);
    expect_measured(c.request->pcr, c.request->event_description);
}

INSTANTIATE_TEST_SUITE_P(PackCpio, PackCpioDirectory, ::testing::ValuesIn(directory_cases),
                         [](const ::testing::TestParamInfo<DirectoryCase> &i) { return std::string(i.param.name); });

namespace {

// A file whose directory entry claims more than a member can hold or the firmware can give.
struct OversizeCase {
    const char *name;
    uint64_t reported_size;
    const char *message;
};

void PrintTo(const OversizeCase &c, std::ostream *os) { *os << c.name; }

class PackCpioOversize : public PackCpio, public ::testing::WithParamInterface<OversizeCase> {};

const OversizeCase oversize_cases[] = {
    {"FourGiB", UINT64(1) << 32, "Failed to pack cpio file m.cred: Load error"},
    {"FiveGiB", UINT64(5) << 30, "Failed to pack cpio file m.cred: Load error"},
    {"LargestMemberMoreThanThereIs", 0xffffffff, "Failed to pack cpio file m.cred: Out of resources"},
    {"TwoGiBMoreThanThereIs", UINT64(2) << 30, "Failed to pack cpio file m.cred: Out of resources"},
    {"BeyondTheReadLimit", (UINT64(16) << 30) + 1, "Failed to read m.cred, ignoring: Bad buffer size"},
};

} // namespace

TEST_P(PackCpioOversize, IsLeftOutAndTheOtherFilesArePacked) {
    tpm.install();
    esp.add_file(in_extra("a.cred"), "alpha");
    esp.add_file(in_extra("m.cred"), "m").report_size(GetParam().reported_size);
    esp.add_file(in_extra("z.cred"), "zulu");
    ASSERT_EQ(pack(CREDENTIALS), EFI_SUCCESS);
    EXPECT_EQ(bytes(), reference_archive(CREDENTIALS, {{"a.cred", "alpha"}, {"z.cred", "zulu"}}));
    EXPECT_EQ(messages(), Strings{GetParam().message});
    expect_measured(12, u"Credentials initrd");
}

INSTANTIATE_TEST_SUITE_P(PackCpio, PackCpioOversize, ::testing::ValuesIn(oversize_cases),
                         [](const ::testing::TestParamInfo<OversizeCase> &i) { return std::string(i.param.name); });

// Each file goes from the firmware straight into the archive: no buffer of its own, no copy of
// its bytes, and the archive allocated once at the size the directory entries give.
TEST_F(PackCpio, FilesAreReadStraightIntoOneArchiveAllocation) {
    esp.add_file(in_extra("a.raw"), pseudo_random(4 * 1024 * 1024, 3));
    esp.add_file(in_extra("b.raw"), pseudo_random(1024 * 1024 + 1, 4));
    fw.memory().reset_counters();
    size_t before = fw.memory().live_bytes();
    ASSERT_EQ(pack(SYSEXT), EFI_SUCCESS);
    EXPECT_EQ(fw.memory().pages(archive.pages.addr())->n_pages, efi_size_to_pages(archive.size));
    EXPECT_LE(fw.memory().peak_bytes() - before, archive.size + 4 * 4096);
    EXPECT_LE(fw.memory().copied_bytes(), 4096u);
}
