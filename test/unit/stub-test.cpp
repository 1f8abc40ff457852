#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "boot/efi/devicetree.h"
#include "boot/efi/global-variable.h"
#include "boot/efivars.h"
#include "boot/stub-cmdline.h"
#include "boot/stub.h"
#include "fakefw/console-control.h"
#include "fakefw/fake-cpu.h"
#include "fakefw/fakefw.h"
#include "fakefw/tcg2.h"
#include "fdt-builder.h"
#include "launch-support.h"

using namespace korvane;
using launchtest::fetch_initrd;
using launchtest::InitrdFetch;
using testsupport::bytes_of;
using testsupport::PeSectionSpec;

namespace {

std::u16string with_nul(const std::u16string &s) { return s + u'\0'; }

// What the kernel saw while it ran.
struct KernelView {
    bool ran = false;
    std::u16string options;
    InitrdFetch initrd;
    size_t live_pages = 0;
    std::vector<uint8_t> devicetree;
    bool stub_info_published = false;
};

std::vector<uint8_t> devicetree_with(const std::string &compatible, const std::string &model) {
    fdttest::Fdt f;
    f.begin_node("").prop("compatible", compatible + '\0').prop("model", model + '\0').end_node().end();
    return f.build();
}

class StubRun : public ::testing::Test {
protected:
    fakefw::Firmware fw;
    fakefw::FakeCpu cpu;
    EFI_LOADED_IMAGE_PROTOCOL stub_image = {};
    std::vector<uint8_t> stub;
    std::u16string options;
    KernelView kernel;

    void SetUp() override {
        fw.images().set_entry("kernel", [this](EFI_HANDLE image) {
            kernel.ran = true;
            kernel.options = launchtest::load_options_of(image);
            kernel.initrd = fetch_initrd();
            kernel.live_pages = fw.memory().live_pages_count();
            if (auto *dt = static_cast<const uint8_t *>(fw.config_tables().find(EFI_DTB_TABLE_GUID)))
                kernel.devicetree.assign(dt, dt + fdttest::get_be32(std::vector<uint8_t>(dt, dt + 8), 4));
            kernel.stub_info_published = fw.variables().find(LOADER_VENDOR_GUID, u"StubInfo") != nullptr;
            return EFI_ABORTED;
        });
    }

    static PeSectionSpec linux_section() { return {".linux", launchtest::kernel_image("kernel")}; }

    // The stub's own image, laid out by the builder with the header page first, as its loaded image.
    EFI_HANDLE install_stub(std::vector<PeSectionSpec> sections, std::u16string load_options = {}) {
        testsupport::PeImageSpec spec;
        spec.sections = std::move(sections);
        stub = testsupport::build_pe(spec);
        stub_image.ImageBase = stub.data();
        stub_image.ImageSize = stub.size();
        if (!load_options.empty()) {
            options = std::move(load_options);
            stub_image.LoadOptions = options.data();
            stub_image.LoadOptionsSize = uint32_t(options.size() * 2);
        }
        return fw.handles().install(nullptr, EFI_LOADED_IMAGE_PROTOCOL_GUID, &stub_image);
    }

    void expect_released() {
        EXPECT_EQ(fw.images().loaded_count(), 0u);
        EXPECT_TRUE(fw.handles().with(EFI_LOAD_FILE2_PROTOCOL_GUID).empty());
        EXPECT_TRUE(fw.check_leaks());
    }
    bool logged(const std::string &text) { return fw.console().text().find(text) != std::string::npos; }
};

} // namespace

TEST_F(StubRun, BootsTheEmbeddedKernelWithTheCallersLineAndTheCombinedInitrd) {
    EFI_HANDLE image = install_stub(
        {linux_section(), {".cmdline", bytes_of("root=x")}, {".ucode", bytes_of("UC")}, {".initrd", bytes_of("INITRD")}},
        u"quiet");
    EXPECT_EQ(run(image), EFI_ABORTED);

    ASSERT_TRUE(kernel.ran);
    EXPECT_EQ(kernel.options, with_nul(u"quiet"));
    EXPECT_EQ(kernel.initrd.located, EFI_SUCCESS);
    // Microcode first, each part zero-filled to a multiple of four bytes.
    EXPECT_EQ(kernel.initrd.data, std::string("UC\0\0INITRD\0\0", 12));
    // The kernel is handed over in place: the first section follows the one header page.
    ASSERT_EQ(fw.images().load_calls().size(), 1u);
    EXPECT_EQ(fw.images().load_calls()[0].source, stub.data() + testsupport::PE_BUILDER_PAGE);
    EXPECT_EQ(fw.images().load_calls()[0].parent, image);
    expect_released();
}

TEST_F(StubRun, WithoutLoadOptionsTheEmbeddedLineAndASingleInitrdInPlaceAreUsed) {
    EFI_HANDLE image = install_stub({linux_section(), {".cmdline", bytes_of(" root=x\tro \n")}, {".initrd", bytes_of("INITRD")}});
    EXPECT_EQ(run(image), EFI_ABORTED);
    ASSERT_TRUE(kernel.ran);
    EXPECT_EQ(kernel.options, with_nul(u"root=x ro"));
    EXPECT_EQ(kernel.initrd.data, "INITRD");
    EXPECT_EQ(kernel.live_pages, 0u);
    expect_released();
}

TEST_F(StubRun, AnImageWithOnlyLinuxBootsWithNothingElse) {
    EFI_HANDLE image = install_stub({linux_section()});
    EXPECT_EQ(run(image), EFI_ABORTED);
    ASSERT_TRUE(kernel.ran);
    EXPECT_EQ(kernel.options, u"(none)");
    EXPECT_EQ(kernel.initrd.located, EFI_NOT_FOUND);
    expect_released();
}

TEST_F(StubRun, UnderSecureBootTheSignedLineWinsAndOnlyTheKernelSkipsVerification) {
    fw.variables().set_secure_boot(true);
    fw.security().install_security2();
    fw.security().set_enforcing(true);
    EFI_HANDLE image = install_stub({linux_section(), {".cmdline", bytes_of("root=x")}}, u"rw");
    EXPECT_EQ(run(image), EFI_ABORTED);
    ASSERT_TRUE(kernel.ran);
    EXPECT_EQ(kernel.options, with_nul(u"root=x"));
    EXPECT_TRUE(fw.security().calls().empty());
    EXPECT_EQ(fw.security().security2()->FileAuthentication, fakefw::Security::own_hook2());
    expect_released();
}

TEST_F(StubRun, ProfilesAreChosenFromTheLoadOptions) {
    std::vector<PeSectionSpec> sections = {linux_section(),          {".cmdline", bytes_of("base")},
                                           {".profile", bytes_of("ID=a")}, {".cmdline", bytes_of("one")},
                                           {".profile", bytes_of("ID=b")}, {".cmdline", bytes_of("two")}};
    // No selection takes the first profile.
    EXPECT_EQ(run(install_stub(sections)), EFI_ABORTED);
    EXPECT_EQ(kernel.options, with_nul(u"one"));
    EXPECT_EQ(run(install_stub(sections, u"@1")), EFI_ABORTED);
    EXPECT_EQ(kernel.options, with_nul(u"two"));
    EXPECT_EQ(run(install_stub(sections, u"@1 quiet")), EFI_ABORTED);
    EXPECT_EQ(kernel.options, with_nul(u"quiet"));
    // The base alone.
    EXPECT_EQ(run(install_stub(sections, u"@4294967295")), EFI_ABORTED);
    EXPECT_EQ(kernel.options, with_nul(u"base"));
    expect_released();
}

TEST_F(StubRun, AProfileTheImageLacksEndsTheBoot) {
    std::vector<PeSectionSpec> sections = {linux_section(), {".profile", bytes_of("ID=a")}, {".profile", bytes_of("ID=b")}};
    EXPECT_EQ(run(install_stub(sections, u"@5")), EFI_NOT_FOUND);
    EXPECT_TRUE(logged("Unable to locate embedded per-profile PE sections: Not found"));
    EXPECT_FALSE(kernel.ran);
    EXPECT_EQ(fw.calls(fakefw::Service::LoadImage), 0u);
    expect_released();
}

TEST_F(StubRun, AnImageWithoutLinuxFailsAfterTheErrorPause) {
    EFI_HANDLE image = install_stub({{".cmdline", bytes_of("root=x")}, {".initrd", bytes_of("INITRD")}});
    EXPECT_EQ(stub_entry(image, fw.system_table()), EFI_NOT_FOUND);
    EXPECT_TRUE(logged("Image lacks .linux section."));
    EXPECT_EQ(fw.clock().stalls(), std::vector<UINTN>{2500000});
    EXPECT_EQ(fw.calls(fakefw::Service::LoadImage), 0u);
    expect_released();
}

TEST_F(StubRun, WithoutItsLoadedImageTheStubStops) {
    EFI_RNG_PROTOCOL unrelated = {};
    EFI_HANDLE image = fw.handles().install(nullptr, EFI_RNG_PROTOCOL_GUID, &unrelated);
    EXPECT_EQ(run(image), EFI_UNSUPPORTED);
    EXPECT_TRUE(logged("Error getting a LoadedImageProtocol handle: Unsupported"));
    expect_released();
}

TEST_F(StubRun, AnImageThatIsNoPeStops) {
    EFI_HANDLE image = install_stub({linux_section()});
    stub[0] = 'X';
    EXPECT_EQ(run(image), EFI_LOAD_ERROR);
    EXPECT_TRUE(logged("Unable to locate PE section table: Load error"));
    EXPECT_FALSE(kernel.ran);
    expect_released();
}

TEST_F(StubRun, TheMatchingDtbautoIsInstalledForTheKernelAndTheFirmwaresTableComesBack) {
    std::vector<uint8_t> firmware_dt = devicetree_with("acme,board", "firmware");
    fw.config_tables().add(EFI_DTB_TABLE_GUID, firmware_dt.data());
    std::vector<uint8_t> other = devicetree_with("other,board", "other");
    std::vector<uint8_t> ours = devicetree_with("acme,board", "ours");
    std::vector<uint8_t> plain = devicetree_with("acme,board", "plain");
    EFI_HANDLE image = install_stub({linux_section(), {".dtb", plain}, {".dtbauto", other}, {".dtbauto", ours}});
    EXPECT_EQ(run(image), EFI_ABORTED);
    ASSERT_TRUE(kernel.ran);
    EXPECT_EQ(kernel.devicetree, ours);
    EXPECT_EQ(fw.config_tables().find(EFI_DTB_TABLE_GUID), firmware_dt.data());
    EXPECT_EQ(kernel.live_pages, 1u) << "only the installed copy";
    expect_released();
}

TEST_F(StubRun, AfterSeveralDevicetreesAReturnedBootLeavesTheFirmwaresTableAndNoCopy) {
    std::vector<uint8_t> firmware_dt = devicetree_with("acme,board", "firmware");
    fw.config_tables().add(EFI_DTB_TABLE_GUID, firmware_dt.data());
    fakefw::Volume &esp = fw.file_systems().add_volume();
    for (std::u16string name : {u"a", u"b"})
        esp.add_file(u"\\loader\\addons\\" + name + u".addon.efi",
                     testsupport::build_pe({.sections = {{".dtb", devicetree_with("acme,board", "add-on")}}}));
    std::vector<uint8_t> last = devicetree_with("acme,board", "add-on");
    EFI_HANDLE image = install_stub({linux_section(), {".dtb", devicetree_with("acme,board", "image")}});
    stub_image.DeviceHandle = esp.handle();
    EXPECT_EQ(run(image), EFI_ABORTED);
    ASSERT_TRUE(kernel.ran);
    EXPECT_EQ(kernel.devicetree, last);
    EXPECT_EQ(kernel.live_pages, 1u) << "each installation frees the copy it replaced";
    EXPECT_EQ(fw.config_tables().find(EFI_DTB_TABLE_GUID), firmware_dt.data());
    expect_released();
}

TEST_F(StubRun, ADevicetreeTheFirmwareRefusesIsPassedOver) {
    EFI_HANDLE image = install_stub({linux_section(), {".dtb", devicetree_with("acme,board", "x")}});
    fw.fail(fakefw::Service::InstallConfigurationTable, EFI_OUT_OF_RESOURCES, 0, 1);
    EXPECT_EQ(run(image), EFI_ABORTED);
    ASSERT_TRUE(kernel.ran);
    EXPECT_TRUE(kernel.devicetree.empty());
    EXPECT_TRUE(logged("Error loading embedded devicetree, ignoring: Out of resources"));
    expect_released();
}

TEST_F(StubRun, TheKernelSeesTheVariablesAndAReturnGivesTheConsoleBackInText) {
    fakefw::ConsoleControl console_control(fw, EfiConsoleControlScreenGraphics);
    console_control.install();
    EFI_HANDLE image = install_stub({linux_section()});
    EXPECT_EQ(run(image), EFI_ABORTED);
    EXPECT_TRUE(kernel.stub_info_published);
    EXPECT_EQ(console_control.mode(), EfiConsoleControlScreenText);
    expect_released();
}

namespace {

class SettleCommandLine : public ::testing::Test {
protected:
    fakefw::Firmware fw;
    fakefw::FakeCpu cpu;
    fakefw::Tcg2 tpm{fw};
    std::string image = std::string(0x1000, '\0') + "root=x";
    EFI_LOADED_IMAGE_PROTOCOL loaded_image = {.ImageBase = image.data()};
    PeSectionSpan with_cmdline[IMAGE_SECTION_COUNT] = {};
    PeSectionSpan without_cmdline[IMAGE_SECTION_COUNT] = {};
    PoolPtr<char16_t> line;
    int measured = -1;

    void SetUp() override {
        tpm.install();
        with_cmdline[SECTION_CMDLINE] = {.mem_size = 6, .mem_offset = 0x1000};
    }
    void give(const char16_t *text) { line.reset(xstr16_dup(text, SIZE_MAX)); }
    std::u16string result() { return line ? std::u16string(line.get()) : u"(none)"; }
    // A TDX guest: a hypervisor is present and leaf 0x21 names the module.
    void make_confidential() {
        CpuidRegs basic = {.eax = 0x21};
        fakefw::FakeCpu::spell("GenuineIntel", &basic.ebx, &basic.edx, &basic.ecx);
        cpu.set_cpuid(0, basic);
        cpu.set_cpuid(1, {.ecx = 1u << 31});
        CpuidRegs tdx = {};
        fakefw::FakeCpu::spell("IntelTDX    ", &tdx.ebx, &tdx.edx, &tdx.ecx);
        cpu.set_cpuid(0x21, tdx);
    }
};

} // namespace

TEST_F(SettleCommandLine, WithSecureBootOffTheCallersLineWinsAndIsMeasured) {
    give(u"rw");
    settle_command_line(&loaded_image, with_cmdline, &line, &measured);
    EXPECT_EQ(result(), u"rw");
    EXPECT_EQ(measured, 1);
    ASSERT_EQ(tpm.events().size(), 1u);
    EXPECT_EQ(tpm.events()[0].index, 12u);
}

TEST_F(SettleCommandLine, UnderSecureBootTheEmbeddedLineReplacesTheCallersUnmeasured) {
    fw.variables().set_secure_boot(true);
    give(u"rw");
    settle_command_line(&loaded_image, with_cmdline, &line, &measured);
    EXPECT_EQ(result(), u"root=x");
    EXPECT_EQ(measured, -1);
    EXPECT_TRUE(tpm.events().empty());
}

TEST_F(SettleCommandLine, UnderSecureBootWithoutEmbeddedLineOnlyAConfidentialVmRefusesTheCallers) {
    fw.variables().set_secure_boot(true);
    give(u"rw");
    settle_command_line(&loaded_image, without_cmdline, &line, &measured);
    EXPECT_EQ(result(), u"rw");
    EXPECT_EQ(measured, 1);

    make_confidential();
    measured = -1;
    give(u"rw");
    settle_command_line(&loaded_image, without_cmdline, &line, &measured);
    EXPECT_EQ(result(), u"(none)");
    EXPECT_EQ(measured, -1);
    EXPECT_EQ(tpm.events().size(), 1u);
}

TEST_F(SettleCommandLine, AConfidentialVmWithoutSecureBootKeepsTheCallersLine) {
    make_confidential();
    give(u"rw");
    settle_command_line(&loaded_image, without_cmdline, &line, &measured);
    EXPECT_EQ(result(), u"rw");
}

TEST_F(SettleCommandLine, AnEmptyCallersLineGivesTheEmbeddedOneOrNothing) {
    give(u"");
    settle_command_line(&loaded_image, with_cmdline, &line, &measured);
    EXPECT_EQ(result(), u"root=x");
    give(u"");
    settle_command_line(&loaded_image, without_cmdline, &line, &measured);
    EXPECT_EQ(result(), u"(none)");
    line.reset();
    settle_command_line(&loaded_image, with_cmdline, &line, &measured);
    EXPECT_EQ(result(), u"root=x");
    EXPECT_EQ(measured, -1);
    EXPECT_TRUE(tpm.events().empty());
}
