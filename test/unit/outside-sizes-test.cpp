// Sizes chosen by whoever writes the ESP, SMBIOS or variables: on a firmware that cannot give
// that much memory, each use is logged and passed over instead of halting the machine.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "boot/efivars.h"
#include "boot/file-util.h"
#include "boot/random-seed.h"
#include "boot/secure-boot.h"
#include "boot/splash.h"
#include "boot/stub-addons.h"
#include "boot/stub-cmdline.h"
#include "boot/stub-initrds.h"
#include "fakefw/device-path-bytes.h"
#include "fakefw/fake-cpu.h"
#include "fakefw/fakefw.h"
#include "fakefw/graphics-output.h"
#include "fakefw/shim-lock.h"
#include "smbios-tables.h"
#include "support/device-path-builder.h"
#include "support/pe-builder.h"

using namespace korvane;

namespace {

// The firmware has no buffer larger than this.
constexpr size_t LIMIT = 64 * 1024;

using Bytes = std::vector<uint8_t>;

struct Case {
    std::string label;
    std::function<void(fakefw::Firmware &)> act; // checks its own outcome
    std::string message;                          // logged instead of halting; empty for none
};

// A 1-bit 256 x 256 bitmap: 8 KiB of pixels, 256 KiB of blit buffer.
Bytes wide_bitmap() {
    const uint32_t side = 256, row = side / 8, offset = 14 + 40 + 8;
    Bytes b(offset + row * side);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; i++)
            b[at + i] = uint8_t(v >> (8 * i));
    };
    b[0] = 'B', b[1] = 'M';
    put32(2, uint32_t(b.size()));
    put32(10, offset);
    put32(14, 40);
    put32(18, side);
    put32(22, side);
    b[26] = 1, b[28] = 1;
    return b;
}

void show_splash(fakefw::Firmware &fw) {
    fakefw::GraphicsOutput gop(fw);
    gop.install();
    Bytes bmp = wide_bitmap();
    EXPECT_EQ(graphics_splash(bmp.data(), bmp.size()), EFI_OUT_OF_RESOURCES);
}

// An add-on with a command line and a payload section of `payload` bytes.
void load_addon(fakefw::Firmware &fw, const char *section, size_t payload) {
    fakefw::Volume &esp = fw.file_systems().add_volume();
    std::string text = section == std::string(".cmdline") ? std::string(payload, 'x') : "a=1";
    std::vector<testsupport::PeSectionSpec> sections = {{".cmdline", testsupport::bytes_of(text)}};
    if (section != std::string(".cmdline"))
        sections.push_back({section, Bytes(payload, 0x5a)});
    esp.add_file(u"\\loader\\addons\\x.addon.efi", testsupport::build_pe({.sections = sections}));
    EFI_LOADED_IMAGE_PROTOCOL stub_image = {.DeviceHandle = esp.handle()};
    EFI_HANDLE stub = fw.handles().install(nullptr, EFI_LOADED_IMAGE_PROTOCOL_GUID, &stub_image);
    AddonPayloads payloads;
    EXPECT_EQ(load_addons(stub, &stub_image, u"\\loader\\addons", nullptr, &payloads), EFI_SUCCESS);
    EXPECT_EQ(payloads.initrds.size(), 0u);
    EXPECT_EQ(payloads.cmdline ? std::u16string(payloads.cmdline.get()) : u"",
              section == std::string(".cmdline") ? u"" : u"a=1");
}

void verify_with_shim(fakefw::Firmware &fw) {
    fakefw::ShimLock shim(fw);
    shim.install();
    fakefw::Volume &esp = fw.file_systems().add_volume();
    esp.add_file(u"\\big.efi", Bytes(LIMIT + 1, 1));
    Bytes path = fakefw::device_path_bytes(esp.device_path());
    path.resize(path.size() - 4);
    Bytes file_node = testsupport::dp_file_node(u"\\big.efi");
    path.insert(path.end(), file_node.begin(), file_node.end());
    path.insert(path.end(), {0x7f, 0xff, 4, 0});
    EXPECT_FALSE(validate_with_shim(nullptr, reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(path.data()), nullptr, 0));
    EXPECT_TRUE(shim.calls().empty());
}

void take_load_options(fakefw::Firmware &fw) {
    std::u16string options(CMDLINE_TEXT_MAX + 1, u'a');
    EFI_LOADED_IMAGE_PROTOCOL loaded = {.LoadOptionsSize = uint32_t((options.size() + 1) * 2),
                                        .LoadOptions = options.data()};
    uint32_t profile = 1;
    PoolPtr<char16_t> line;
    process_arguments(fw.handles().create(), &loaded, &profile, &line);
    EXPECT_FALSE(line);
}

void take_smbios_extra(fakefw::Firmware &fw) {
    fakefw::FakeCpu cpu;
    smbiostest::Tables tables(fw);
    std::string oem = "io.korvane.stub.kernel-cmdline-extra=" + std::string(CMDLINE_TEXT_MAX + 1, 'x');
    tables.add3(smbiostest::concat({smbiostest::structure(11, {1}, {oem}), smbiostest::end_of_table()}));
    PoolPtr<char16_t> line;
    int measured = -1;
    cmdline_append_smbios(&line, &measured);
    EXPECT_FALSE(line);
}

void read_token(fakefw::Firmware &fw) {
    fw.variables().set(LOADER_VENDOR_GUID, u"LoaderSystemToken", Bytes(LIMIT + 1, 7));
    void *token = nullptr;
    size_t size = 0;
    acquire_system_token(&token, &size);
    EXPECT_EQ(token, nullptr);
}

void combine(fakefw::Firmware &) {
    std::string a(LIMIT / 2 + 1, 'a'), b(LIMIT / 2 + 1, 'b');
    InitrdList list;
    list.append({a.data(), a.size()});
    list.append({b.data(), b.size()});
    Pages pages;
    size_t size = 0;
    EXPECT_EQ(combine_initrds(list, &pages, &size), EFI_OUT_OF_RESOURCES);
    EXPECT_FALSE(pages);
}

void PrintTo(const Case &c, std::ostream *os) { *os << c.label; }

class OutsideSizes : public ::testing::TestWithParam<Case> {};

} // namespace

TEST_P(OutsideSizes, AreLoggedAndPassedOver) {
    fakefw::Firmware fw;
    fw.memory().limit_allocations(LIMIT);
    GetParam().act(fw);
    EXPECT_FALSE(fw.halted());
    if (!GetParam().message.empty())
        EXPECT_NE(fw.console().text().find(GetParam().message), std::string::npos) << fw.console().text();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OutsideSizes,
    testing::Values(
        Case{"SplashPixelBuffer", show_splash, ""},
        Case{"AddonPayloadCopy", [](fakefw::Firmware &fw) { load_addon(fw, ".initrd", LIMIT + 1); },
             "Failed to copy .initrd section of x.addon.efi, ignoring: Out of resources"},
        Case{"AddonCommandLine", [](fakefw::Firmware &fw) { load_addon(fw, ".cmdline", CMDLINE_TEXT_MAX + 1); },
             "Command line of x.addon.efi is too long, ignoring."},
        Case{"FileVerifiedByShim", verify_with_shim, ""},
        Case{"LoadOptions", take_load_options, "Load options are too long for a kernel command line, ignoring."},
        Case{"SmbiosCommandLineExtra", take_smbios_extra, "SMBIOS kernel command line extra is too long, ignoring."},
        Case{"Variable", read_token, "Failed to read LoaderSystemToken EFI variable: Out of resources"},
        Case{"CombinedInitrd", combine, "for the initrd: Out of resources"}),
    [](const testing::TestParamInfo<Case> &info) { return info.param.label; });
