// Add-ons from the global directory and the image's own: which files are taken and in which
// order, what each one contributes, and every reason one is passed over or a pass ends.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "boot/efi/devicetree.h"
#include "boot/file-util.h"
#include "boot/stub-addons.h"
#include "fakefw/device-path-bytes.h"
#include "fakefw/fakefw.h"
#include "fakefw/shim-lock.h"
#include "fdt-builder.h"
#include "support/device-path-builder.h"
#include "support/pe-builder.h"

using namespace korvane;
using fakefw::Bytes;
using fakefw::FileOp;
using fakefw::Service;
using testsupport::dp_file_node;
using testsupport::dp_node;
using testsupport::dp_path;

namespace {

constexpr const char16_t *GLOBAL_DIR = u"\\loader\\addons";

using Sections = std::vector<std::pair<std::string, std::string>>;

// An add-on image holding exactly the given sections.
Bytes addon(const Sections &sections, std::optional<uint16_t> number_of_sections = std::nullopt) {
    testsupport::PeImageSpec spec;
    spec.number_of_sections = number_of_sections;
    for (const auto &[name, data] : sections)
        spec.sections.push_back({name, testsupport::bytes_of(data)});
    return testsupport::build_pe(spec);
}

std::string dt_blob(const std::string &compatible) {
    fdttest::Fdt f;
    f.begin_node("").prop("compatible", compatible + '\0').end_node().end();
    Bytes b = f.build();
    return {b.begin(), b.end()};
}

std::string text(const iovec &v) { return {static_cast<const char *>(v.iov_base), v.iov_len}; }

// File name and contents of every element, in list order.
std::vector<std::pair<std::u16string, std::string>> contents(const NamedAddonList &list) {
    std::vector<std::pair<std::u16string, std::string>> out;
    for (size_t i = 0; i < list.size(); i++)
        out.emplace_back(list[i].file_name, text(list[i].data));
    return out;
}

class Addons : public ::testing::Test {
  public:
    fakefw::Firmware fw;
    fakefw::Volume &esp = fw.file_systems().add_volume();
    Bytes file_path = dp_path({dp_file_node(u"\\EFI\\Linux\\uki.efi")});
    EFI_LOADED_IMAGE_PROTOCOL stub_image = {};
    EFI_HANDLE stub = nullptr;
    AddonPayloads payloads;

    void SetUp() override {
        stub_image.DeviceHandle = esp.handle();
        stub_image.FilePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(file_path.data());
        stub = fw.handles().install(nullptr, EFI_LOADED_IMAGE_PROTOCOL_GUID, &stub_image);
    }
    void TearDown() override {
        EXPECT_EQ(fw.images().loaded_count(), 0u) << "an add-on image stayed loaded";
        EXPECT_EQ(fw.file_systems().open_count(), 0u);
    }

    void add(const std::u16string &path, const Sections &sections) { esp.add_file(path, addon(sections)); }
    EFI_STATUS load(const char16_t *dir = GLOBAL_DIR, const char *uname = nullptr) {
        return load_addons(stub, &stub_image, dir, uname, &payloads);
    }
    std::u16string cmdline() const { return payloads.cmdline ? payloads.cmdline.get() : u"(none)"; }

    // The volume's own nodes, a file-path node for `path`, the end node.
    Bytes addon_device_path(const std::u16string &path) const {
        Bytes dp = fakefw::device_path_bytes(esp.device_path());
        dp.resize(dp.size() - 4);
        Bytes node = dp_file_node(path);
        dp.insert(dp.end(), node.begin(), node.end());
        dp.insert(dp.end(), {0x7f, 0xff, 4, 0});
        return dp;
    }
    std::vector<std::string> messages() { return fw.console().messages(); }
};

using Messages = std::vector<std::string>;

} // namespace

TEST_F(Addons, CandidatesAreFilteredByNameAndSortedByCodeUnit) {
    const std::u16string longest = std::u16string(245, u'z') + u".addon.efi", too_long = u"y" + longest;
    ASSERT_EQ(longest.size(), 255u);
    for (const std::u16string &name : std::vector<std::u16string>{
             u"a.addon.efi", u"c.ADDON.EFI", u"B.addon.efi", longest, u"Z.Addon.Efi", u".hidden.addon.efi",
             u"x.addon.efi.bak", u"caf\u00e9.addon.efi", too_long, u"x.efi", u"addon.efi"})
        esp.add_file(u"\\loader\\addons\\" + name, "x");
    esp.add_directory(u"\\loader\\addons\\dir.addon.efi");

    FileHandle root;
    ASSERT_EQ(open_volume_root(esp.handle(), root.out()), EFI_SUCCESS);
    NameList names;
    ASSERT_EQ(load_addons_from_dir(root.get(), GLOBAL_DIR, &names), EFI_SUCCESS);
    std::vector<std::u16string> got;
    for (size_t i = 0; i < names.size(); i++)
        got.push_back(names[i]);
    EXPECT_EQ(got,
              (std::vector<std::u16string>{u"B.addon.efi", u"Z.Addon.Efi", u"a.addon.efi", u"c.ADDON.EFI", longest}));

    NameList none;
    EXPECT_EQ(load_addons_from_dir(root.get(), u"\\loader\\nowhere", &none), EFI_SUCCESS);
    EXPECT_EQ(none.size(), 0u);
    EXPECT_EQ(fw.console().text(), "");
}

TEST_F(Addons, EachAddonIsLoadedFromItsFileOnTheStubsPartitionInNameOrder) {
    add(u"\\loader\\addons\\b.addon.efi", {{".cmdline", "b=2"}});
    add(u"\\loader\\addons\\A.addon.efi", {{".cmdline", "a=1"}});
    ASSERT_EQ(load(), EFI_SUCCESS);

    const auto &calls = fw.images().load_calls();
    ASSERT_EQ(calls.size(), 2u);
    for (size_t i = 0; i < 2; i++) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(calls[i].boot_policy);
        EXPECT_EQ(calls[i].parent, stub);
        EXPECT_EQ(calls[i].source, nullptr);
        EXPECT_EQ(calls[i].source_size, 0u);
        EXPECT_EQ(calls[i].status, EFI_SUCCESS);
    }
    EXPECT_EQ(calls[0].device_path_bytes, addon_device_path(u"\\loader\\addons\\A.addon.efi"));
    EXPECT_EQ(calls[1].device_path_bytes, addon_device_path(u"\\loader\\addons\\b.addon.efi"));
    EXPECT_EQ(cmdline(), u"a=1 b=2");
    EXPECT_EQ(fw.console().text(), "");
}

TEST_F(Addons, EveryPayloadIsAPrivateCopyUnderTheAddonsFileName) {
    add(u"\\loader\\addons\\x.addon.efi",
        {{".cmdline", " \tq=1\n"}, {".dtb", "DTB-X"}, {".initrd", "INITRD-X"}, {".ucode", "UCODE-X"}});
    add(u"\\loader\\addons\\y.addon.efi", {{".initrd", "INITRD-Y"}, {".sbat", "sbat,1"}});
    ASSERT_EQ(load(), EFI_SUCCESS);

    EXPECT_EQ(cmdline(), u"q=1");
    using Contents = std::vector<std::pair<std::u16string, std::string>>;
    EXPECT_EQ(contents(payloads.devicetrees), (Contents{{u"x.addon.efi", "DTB-X"}}));
    EXPECT_EQ(contents(payloads.initrds), (Contents{{u"x.addon.efi", "INITRD-X"}, {u"y.addon.efi", "INITRD-Y"}}));
    EXPECT_EQ(contents(payloads.ucodes), (Contents{{u"x.addon.efi", "UCODE-X"}}));
    // The add-on images are gone; what is left lives in pool memory of exactly its size.
    for (const NamedAddonList *list : {&payloads.devicetrees, &payloads.initrds, &payloads.ucodes})
        for (size_t i = 0; i < list->size(); i++) {
            EXPECT_EQ(fw.memory().pool_size((*list)[i].data.iov_base), (*list)[i].data.iov_len);
            EXPECT_NE(fw.memory().pool((*list)[i].file_name), nullptr);
        }
    EXPECT_EQ(fw.console().text(), "");
}

TEST_F(Addons, CommandLineFragmentsAreJoinedWithOneBlank) {
    const struct {
        std::vector<std::string> fragments;
        std::u16string joined;
    } cases[] = {
        {{"a=1", "b=2"}, u"a=1 b=2"},
        {{"\t ", "b=2"}, u"b=2"}, // an empty first fragment leaves no leading blank
        {{"a=1", " "}, u"a=1 "},  // an empty later one still adds its blank
        {{"x\ny\x01z"}, u"x y z"},
    };
    for (size_t c = 0; c < std::size(cases); c++) {
        std::u16string dir = u"\\case" + std::u16string(1, char16_t(u'0' + c));
        for (size_t i = 0; i < cases[c].fragments.size(); i++)
            add(dir + u"\\" + char16_t(u'1' + i) + u".addon.efi", {{".cmdline", cases[c].fragments[i]}});
        AddonPayloads p;
        ASSERT_EQ(load_addons(stub, &stub_image, dir.c_str(), nullptr, &p), EFI_SUCCESS);
        ASSERT_TRUE(p.cmdline);
        EXPECT_EQ(std::u16string(p.cmdline.get()), cases[c].joined) << c;
    }
}

TEST_F(Addons, AMatchingDtbautoReplacesTheDtbAndANonMatchingOneCountsForNothing) {
    std::string firmware_dt = dt_blob("acme,board-a");
    fw.config_tables().add(EFI_DTB_TABLE_GUID, firmware_dt.data());
    std::string matching = dt_blob("acme,board-a"), other = dt_blob("acme,board-b");
    add(u"\\loader\\addons\\1.addon.efi", {{".dtb", "PLAIN-1"}, {".dtbauto", matching}});
    add(u"\\loader\\addons\\2.addon.efi", {{".dtb", "PLAIN-2"}, {".dtbauto", other}});
    add(u"\\loader\\addons\\3.addon.efi", {{".dtbauto", other}});
    ASSERT_EQ(load(), EFI_SUCCESS);

    using Contents = std::vector<std::pair<std::u16string, std::string>>;
    EXPECT_EQ(contents(payloads.devicetrees), (Contents{{u"1.addon.efi", matching}, {u"2.addon.efi", "PLAIN-2"}}));
    EXPECT_EQ(messages(), (Messages{"Unable to locate embedded .cmdline/.dtb/.dtbauto/.initrd/.ucode sections in "
                                    "3.addon.efi, ignoring: Not found"}));
}

TEST_F(Addons, RejectedAddonsAreSkippedWithTheirReason) {
    add(u"\\loader\\addons\\1-none.addon.efi", {{".sbat", "sbat,1"}});
    add(u"\\loader\\addons\\2-kernel.addon.efi", {{".linux", "MZ"}});
    add(u"\\loader\\addons\\3-uki.addon.efi", {{".linux", "MZ"}, {".cmdline", "uki=1"}});
    add(u"\\loader\\addons\\4-other.addon.efi", {{".uname", "6.1.1"}, {".cmdline", "other=1"}});
    // Compared only as far as the add-on's own bytes go.
    add(u"\\loader\\addons\\5-prefix.addon.efi", {{".uname", "6.1.0-"}, {".cmdline", "prefix=1"}});
    esp.add_file(u"\\loader\\addons\\6-headers.addon.efi", addon({{".cmdline", "headers=1"}}, 0));
    add(u"\\loader\\addons\\7-exact.addon.efi", {{".uname", std::string("6.1.0-9\0", 8)}, {".cmdline", "exact=1"}});
    add(u"\\loader\\addons\\8-plain.addon.efi", {{".cmdline", "plain=1"}});

    ASSERT_EQ(load(GLOBAL_DIR, "6.1.0-9"), EFI_SUCCESS);
    EXPECT_EQ(fw.images().load_calls().size(), 8u);
    EXPECT_EQ(cmdline(), u"prefix=1 exact=1 plain=1");
    const std::string missing = "Unable to locate embedded .cmdline/.dtb/.dtbauto/.initrd/.ucode sections in ";
    EXPECT_EQ(messages(), (Messages{
                              missing + "1-none.addon.efi, ignoring: Not found",
                              missing + "2-kernel.addon.efi, ignoring: Not found",
                              "3-uki.addon.efi is a UKI, not an addon, ignoring.",
                              ".uname mismatch between 4-other.addon.efi and UKI, ignoring",
                              missing + "6-headers.addon.efi, ignoring: Load error",
                          }));

    // An image without a release string takes add-ons of any release.
    AddonPayloads any;
    ASSERT_EQ(load_addons(stub, &stub_image, GLOBAL_DIR, nullptr, &any), EFI_SUCCESS);
    EXPECT_EQ(std::u16string(any.cmdline.get()), u"other=1 prefix=1 exact=1 plain=1");
}

namespace {

// A pass over \loader\addons holding a.addon.efi (a=1) and b.addon.efi (b=2), after `setup`.
struct PassCase {
    const char *name;
    EFI_STATUS status;
    const char *message; // the one message logged, if any
    unsigned load_calls;
    const char16_t *cmdline;
    const char16_t *dir;
    void (*setup)(Addons &);
};

void PrintTo(const PassCase &c, std::ostream *os) { *os << c.name; }

class AddonPass : public Addons, public ::testing::WithParamInterface<PassCase> {};

constexpr const char16_t *NONE = u"(none)";

const PassCase pass_cases[] = {
    {"NoDeviceHandle", EFI_SUCCESS, nullptr, 0, NONE, GLOBAL_DIR,
     [](Addons &t) { t.stub_image.DeviceHandle = nullptr; }},
    {"NoFileSystem", EFI_SUCCESS, nullptr, 0, NONE, GLOBAL_DIR,
     [](Addons &t) { t.stub_image.DeviceHandle = t.fw.handles().create(); }},
    {"NoDirectory", EFI_SUCCESS, nullptr, 0, NONE, u"\\loader\\nowhere", [](Addons &) {}},
    {"NoCandidates", EFI_SUCCESS, nullptr, 0, NONE, u"\\loader\\other",
     [](Addons &t) { t.esp.add_file(u"\\loader\\other\\readme.txt", "x"); }},
    {"RootUnopenable", EFI_DEVICE_ERROR, "Unable to open root directory: Device error", 0, NONE, GLOBAL_DIR,
     [](Addons &t) { t.esp.fail_open_volume(EFI_DEVICE_ERROR); }},
    {"DirectoryUnopenable", EFI_ACCESS_DENIED, "Failed to open addons directory '\\loader\\addons': Access denied", 0,
     NONE, GLOBAL_DIR, [](Addons &t) { t.esp.find(GLOBAL_DIR)->fail(FileOp::Open, EFI_ACCESS_DENIED); }},
    {"DirectoryIsAFile", EFI_LOAD_ERROR,
     "Failed to open addons directory '\\loader\\addons\\a.addon.efi': Load error", 0, NONE,
     u"\\loader\\addons\\a.addon.efi", [](Addons &) {}},
    {"DirectoryUnreadable", EFI_DEVICE_ERROR, "Failed to read addons directory of loaded image: Device error", 0,
     NONE, GLOBAL_DIR, [](Addons &t) { t.esp.find(GLOBAL_DIR)->fail(FileOp::Read, EFI_DEVICE_ERROR, 1, 1); }},
    // Later add-ons of the directory are not tried either.
    {"NoPartitionDevicePath", EFI_UNSUPPORTED,
     "Error making device path for \\loader\\addons\\a.addon.efi: Unsupported", 0, NONE, GLOBAL_DIR,
     [](Addons &t) { t.fw.handles().uninstall(t.esp.handle(), EFI_DEVICE_PATH_PROTOCOL_GUID); }},
    // HandleProtocol: the volume, the partition's device path, then the add-on's loaded image.
    {"NoLoadedImageProtocol", EFI_UNSUPPORTED, "Failed to find protocol in a.addon.efi: Unsupported", 1, NONE,
     GLOBAL_DIR, [](Addons &t) { t.fw.fail(Service::HandleProtocol, EFI_UNSUPPORTED, 2, 1); }},
    {"LoadImageRefuses", EFI_SUCCESS,
     "Failed to read 'a.addon.efi' from '\\loader\\addons\\a.addon.efi', ignoring: Access denied", 2, u"b=2",
     GLOBAL_DIR, [](Addons &t) { t.fw.fail(Service::LoadImage, EFI_ACCESS_DENIED, 0, 1); }},
};

} // namespace

TEST_P(AddonPass, EndsOrGoesOnAsItsFailureRequires) {
    const PassCase &c = GetParam();
    add(u"\\loader\\addons\\a.addon.efi", {{".cmdline", "a=1"}});
    add(u"\\loader\\addons\\b.addon.efi", {{".cmdline", "b=2"}});
    c.setup(*this);
    EXPECT_EQ(load(c.dir), c.status);
    EXPECT_EQ(messages(), c.message ? Messages{c.message} : Messages{});
    EXPECT_EQ(fw.calls(Service::LoadImage), c.load_calls);
    EXPECT_EQ(cmdline(), c.cmdline);
}

INSTANTIATE_TEST_SUITE_P(Addons, AddonPass, ::testing::ValuesIn(pass_cases),
                         [](const ::testing::TestParamInfo<PassCase> &i) { return std::string(i.param.name); });

namespace {

struct VerifyCase {
    const char *name;
    bool secure_boot;
    bool shim;
    bool shim_trusts;
    bool security2; // else only the Security protocol, which hands no buffer to its hook
    bool firmware_trusts;
    bool loaded;
    size_t shim_calls;
    size_t firmware_calls;
};

void PrintTo(const VerifyCase &c, std::ostream *os) { *os << c.name; }

class AddonVerification : public Addons, public ::testing::WithParamInterface<VerifyCase> {};

const VerifyCase verify_cases[] = {
    {"FirmwareAloneRefuses", true, false, false, true, false, false, 0, 1},
    {"FirmwareAloneAccepts", true, false, false, true, true, true, 0, 1},
    {"ShimAcceptsUnderSecurity2", true, true, true, true, false, true, 1, 0},
    {"ShimAcceptsTheFileReadThroughItsPath", true, true, true, false, false, true, 1, 0},
    {"ShimRefusesAndTheFirmwareToo", true, true, false, true, false, false, 1, 1},
    {"ShimRefusesButTheFirmwareAccepts", true, true, false, true, true, true, 1, 1},
    {"SecureBootOffLeavesShimOut", false, true, true, true, false, false, 0, 1},
};

} // namespace

TEST_P(AddonVerification, DecidesWhichAddonsLoad) {
    const VerifyCase &c = GetParam();
    Bytes image = addon({{".cmdline", "a=1"}});
    esp.add_file(u"\\loader\\addons\\a.addon.efi", image);
    fakefw::Security &security = fw.security();
    security.set_enforcing(true);
    c.security2 ? security.install_security2() : security.install_security();
    Bytes path = addon_device_path(u"\\loader\\addons\\a.addon.efi");
    if (c.firmware_trusts)
        c.security2 ? security.trust(image.data(), image.size())
                    : security.trust(reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(path.data()));
    fw.variables().set_secure_boot(c.secure_boot);
    std::optional<fakefw::ShimLock> shim;
    if (c.shim) {
        shim.emplace(fw);
        shim->install();
        if (c.shim_trusts)
            shim->trust(image);
    }

    ASSERT_EQ(load(), EFI_SUCCESS);
    EXPECT_EQ(cmdline(), c.loaded ? u"a=1" : u"(none)");
    EXPECT_EQ(messages(), c.loaded ? Messages{}
                                   : Messages{"Failed to read 'a.addon.efi' from '\\loader\\addons\\a.addon.efi', "
                                              "ignoring: Security violation"});
    EXPECT_EQ(security.calls().size(), c.firmware_calls);
    if (shim) {
        ASSERT_EQ(shim->calls().size(), c.shim_calls);
        for (const fakefw::ShimVerifyCall &call : shim->calls())
            EXPECT_EQ(call.contents, image);
    }
    // The firmware's hooks are back in place whatever happened.
    EXPECT_EQ(security.security()->FileAuthenticationState, fakefw::Security::own_hook());
    EXPECT_EQ(security.security2()->FileAuthentication, fakefw::Security::own_hook2());
}

INSTANTIATE_TEST_SUITE_P(Addons, AddonVerification, ::testing::ValuesIn(verify_cases),
                         [](const ::testing::TestParamInfo<VerifyCase> &i) { return std::string(i.param.name); });

TEST_F(Addons, GlobalAddonsPrecedeTheImagesOwnWhoseDirectoryDropsTheBootCounter) {
    file_path = dp_path({dp_file_node(u"\\EFI\\Linux\\uki+3-1.efi")});
    stub_image.FilePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(file_path.data());
    add(u"\\EFI\\Linux\\uki.efi.extra.d\\a.addon.efi", {{".cmdline", "own=1"}, {".initrd", "OWN"}});
    add(u"\\loader\\addons\\z.addon.efi", {{".cmdline", "global=1"}, {".initrd", "GLOBAL"}});
    add(u"\\EFI\\Linux\\uki+3-1.efi.extra.d\\b.addon.efi", {{".cmdline", "counted=1"}});

    load_all_addons(stub, &stub_image, nullptr, &payloads);
    EXPECT_EQ(cmdline(), u"global=1 own=1");
    using Contents = std::vector<std::pair<std::u16string, std::string>>;
    EXPECT_EQ(contents(payloads.initrds), (Contents{{u"z.addon.efi", "GLOBAL"}, {u"a.addon.efi", "OWN"}}));
    EXPECT_EQ(fw.console().text(), "");
}

TEST_F(Addons, AFailedPassIsLoggedAndDoesNotStopTheOther) {
    add(u"\\loader\\addons\\g.addon.efi", {{".cmdline", "global=1"}});
    add(u"\\EFI\\Linux\\uki.efi.extra.d\\own.addon.efi", {{".cmdline", "own=1"}});
    esp.find(GLOBAL_DIR)->fail(FileOp::Read, EFI_DEVICE_ERROR);
    load_all_addons(stub, &stub_image, nullptr, &payloads);
    EXPECT_EQ(cmdline(), u"own=1");
    EXPECT_EQ(messages(), (Messages{"Failed to read addons directory of loaded image: Device error",
                                    "Error loading global addons, ignoring: Device error"}));

    esp.find(GLOBAL_DIR)->fail(FileOp::Read, EFI_DEVICE_ERROR, 0, 0);
    esp.find(u"\\EFI\\Linux\\uki.efi.extra.d")->fail(FileOp::Open, EFI_ACCESS_DENIED);
    AddonPayloads second;
    load_all_addons(stub, &stub_image, nullptr, &second);
    EXPECT_EQ(std::u16string(second.cmdline.get()), u"global=1");
    EXPECT_EQ(messages().back(), "Error loading UKI-specific addons, ignoring: Access denied");
}

TEST_F(Addons, WithoutDirectoriesOrAFilePathOfFilesNothingIsTaken) {
    load_all_addons(stub, &stub_image, nullptr, &payloads);
    // The image's own directory needs a path made of file nodes only.
    add(u"\\EFI\\Linux\\uki.efi.extra.d\\own.addon.efi", {{".cmdline", "own=1"}, {".ucode", "U"}});
    file_path = dp_path({dp_node(1, 1, {0, 2}), dp_file_node(u"\\EFI\\Linux\\uki.efi")});
    stub_image.FilePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(file_path.data());
    load_all_addons(stub, &stub_image, nullptr, &payloads);

    EXPECT_FALSE(payloads.cmdline);
    EXPECT_EQ(payloads.devicetrees.size() + payloads.initrds.size() + payloads.ucodes.size(), 0u);
    EXPECT_TRUE(fw.images().load_calls().empty());
    EXPECT_EQ(fw.console().text(), "");
}

TEST(NamedAddonFree, ANullArrayIsFineOnlyWithoutElements) {
    fakefw::Firmware fw;
    named_addon_free_many(nullptr, 0);
    std::string console = fakefw::expect_halt([] { named_addon_free_many(nullptr, 1); });
    EXPECT_NE(console.find("Assertion 'addons || n_addons == 0' failed"), std::string::npos) << console;
}
