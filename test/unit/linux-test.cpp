#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "boot/efi/global-variable.h"
#include "boot/linux.h"
#include "boot/log.h"
#include "fakefw/fakefw.h"
#include "launch-support.h"

using namespace korvane;
using launchtest::fetch_initrd;
using launchtest::InitrdFetch;
using launchtest::kernel_image;

namespace {

std::u16string with_nul(const std::u16string &s) { return s + u'\0'; }

class LinuxExec : public ::testing::Test {
protected:
    fakefw::Firmware fw;
    EFI_LOADED_IMAGE_PROTOCOL stub_image = {};
    EFI_HANDLE parent = fw.handles().install(nullptr, EFI_LOADED_IMAGE_PROTOCOL_GUID, &stub_image);
    std::vector<uint8_t> kernel = kernel_image("kernel");
    std::string initrd_data = "INITRD-CONTENTS";

    iovec kernel_iov() { return {kernel.data(), kernel.size()}; }
    iovec initrd_iov() { return {initrd_data.data(), initrd_data.size()}; }

    // Nothing of the launch may stay behind: no image, no initrd provider, no memory.
    void expect_released() {
        EXPECT_EQ(fw.images().loaded_count(), 0u);
        EXPECT_TRUE(fw.handles().with(EFI_LOAD_FILE2_PROTOCOL_GUID).empty());
        EXPECT_TRUE(fw.check_leaks());
    }
};

} // namespace

TEST_F(LinuxExec, TheKernelGetsTheCommandLineAndItsInitrdWhileItRuns) {
    std::u16string cmdline = u"root=/dev/sda1 quiet";
    bool ran = false;
    fw.images().set_entry("kernel", [&](EFI_HANDLE image) {
        ran = true;
        EFI_LOADED_IMAGE_PROTOCOL *li = nullptr;
        EXPECT_EQ(fw.boot_services()->HandleProtocol(image, &EFI_LOADED_IMAGE_PROTOCOL_GUID,
                                                     reinterpret_cast<void **>(&li)),
                  EFI_SUCCESS);
        EXPECT_EQ(li->ParentHandle, parent);
        // Not a copy: the caller's buffer, with its terminator counted.
        EXPECT_EQ(li->LoadOptions, cmdline.c_str());
        EXPECT_EQ(li->LoadOptionsSize, (cmdline.size() + 1) * 2);
        InitrdFetch f = fetch_initrd();
        EXPECT_EQ(f.located, EFI_SUCCESS);
        EXPECT_EQ(f.first, EFI_BUFFER_TOO_SMALL);
        EXPECT_EQ(f.announced, initrd_data.size());
        EXPECT_EQ(f.second, EFI_SUCCESS);
        EXPECT_EQ(f.data, initrd_data);
        return EFI_ABORTED;
    });

    EXPECT_EQ(linux_exec(parent, cmdline.c_str(), kernel_iov(), initrd_iov()), EFI_ABORTED);
    EXPECT_TRUE(ran);
    EXPECT_NE(fw.console().text().find("Error starting kernel image: Aborted"), std::string::npos);

    // Loaded from the buffer itself, under the payload device path, not as a boot option.
    ASSERT_EQ(fw.images().load_calls().size(), 1u);
    const fakefw::LoadImageCall &call = fw.images().load_calls()[0];
    EXPECT_FALSE(call.boot_policy);
    EXPECT_EQ(call.parent, parent);
    EXPECT_EQ(call.source, kernel.data());
    EXPECT_EQ(call.source_size, kernel.size());
    EXPECT_EQ(call.device_path_bytes, launchtest::KERNEL_PAYLOAD_PATH);
    expect_released();
}

TEST_F(LinuxExec, AKernelThatReturnsSuccessIsStillReportedAndCleanedUp) {
    fw.images().set_entry("kernel", [](EFI_HANDLE) { return EFI_SUCCESS; });
    EXPECT_EQ(linux_exec(parent, nullptr, kernel_iov(), initrd_iov()), EFI_SUCCESS);
    EXPECT_NE(fw.console().text().find("Error starting kernel image: Success"), std::string::npos);
    expect_released();
}

TEST_F(LinuxExec, LoadOptionsAreLeftAloneWithoutACommandLineAndAnEmptyOneCountsItsTerminator) {
    std::u16string seen;
    fw.images().set_entry("kernel", [&](EFI_HANDLE image) {
        seen = launchtest::load_options_of(image);
        return EFI_ABORTED;
    });
    linux_exec(parent, nullptr, kernel_iov(), {});
    EXPECT_EQ(seen, u"(none)");
    linux_exec(parent, u"", kernel_iov(), {});
    EXPECT_EQ(seen, with_nul(u""));
    expect_released();
}

TEST_F(LinuxExec, AnEmptyInitrdOffersTheKernelNoProvider) {
    InitrdFetch with_null_pointer, with_zero_length;
    fw.images().set_entry("kernel", [&](EFI_HANDLE) {
        with_null_pointer = fetch_initrd();
        return EFI_ABORTED;
    });
    linux_exec(parent, nullptr, kernel_iov(), {nullptr, 0});
    fw.images().set_entry("kernel", [&](EFI_HANDLE) {
        with_zero_length = fetch_initrd();
        return EFI_ABORTED;
    });
    linux_exec(parent, nullptr, kernel_iov(), {initrd_data.data(), 0});
    EXPECT_EQ(with_null_pointer.located, EFI_NOT_FOUND);
    EXPECT_EQ(with_zero_length.located, EFI_NOT_FOUND);
    expect_released();
}

TEST_F(LinuxExec, MessagesLoggedBeforeTheStartArePausedForFirst) {
    std::vector<UINTN> stalls_at_start;
    fw.images().set_entry("kernel", [&](EFI_HANDLE) {
        stalls_at_start = fw.clock().stalls();
        return EFI_ABORTED;
    });
    log_error(EFI_SUCCESS, "one message");
    linux_exec(parent, nullptr, kernel_iov(), {});
    EXPECT_EQ(stalls_at_start, std::vector<UINTN>{2500000});
}

TEST_F(LinuxExec, ANonPeKernelIsRefusedBeforeAnythingIsLoaded) {
    kernel[0] = 'X';
    EXPECT_EQ(linux_exec(parent, nullptr, kernel_iov(), initrd_iov()), EFI_LOAD_ERROR);
    EXPECT_NE(fw.console().text().find("Bad kernel image: Load error"), std::string::npos);
    EXPECT_EQ(fw.calls(fakefw::Service::LoadImage), 0u);
    expect_released();
}

TEST_F(LinuxExec, ALoadImageFailureRegistersNothing) {
    fw.fail(fakefw::Service::LoadImage, EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(linux_exec(parent, nullptr, kernel_iov(), initrd_iov()), EFI_OUT_OF_RESOURCES);
    EXPECT_NE(fw.console().text().find("Error loading kernel image: Out of resources"), std::string::npos);
    EXPECT_EQ(fw.calls(fakefw::Service::InstallMultipleProtocolInterfaces), 0u);
    EXPECT_EQ(fw.calls(fakefw::Service::StartImage), 0u);
    expect_released();
}

TEST_F(LinuxExec, ASecurityRefusalThatStillGaveAHandleIsUnloaded) {
    // The platform enforces while the variable says otherwise, so no override is installed.
    fw.security().install_security2();
    fw.security().set_enforcing(true);
    EXPECT_EQ(linux_exec(parent, nullptr, kernel_iov(), initrd_iov()), EFI_SECURITY_VIOLATION);
    EXPECT_NE(fw.console().text().find("Error loading kernel image: Security violation"), std::string::npos);
    ASSERT_EQ(fw.images().load_calls().size(), 1u);
    EXPECT_NE(fw.images().load_calls()[0].image, nullptr);
    EXPECT_EQ(fw.calls(fakefw::Service::UnloadImage), 1u);
    EXPECT_EQ(fw.calls(fakefw::Service::StartImage), 0u);
    expect_released();
}

TEST_F(LinuxExec, WithoutTheKernelsLoadedImageNothingIsStarted) {
    fw.fail(fakefw::Service::HandleProtocol, EFI_DEVICE_ERROR, fw.calls(fakefw::Service::HandleProtocol));
    EXPECT_EQ(linux_exec(parent, nullptr, kernel_iov(), initrd_iov()), EFI_DEVICE_ERROR);
    EXPECT_NE(fw.console().text().find("Error getting kernel loaded image protocol: Device error"),
              std::string::npos);
    EXPECT_EQ(fw.calls(fakefw::Service::StartImage), 0u);
    fw.faults().clear(fakefw::Service::HandleProtocol);
    expect_released();
}

TEST_F(LinuxExec, AnotherInitrdProviderStopsTheStartAndTheKernelIsUnloaded) {
    std::vector<uint8_t> path = launchtest::INITRD_MEDIA_PATH;
    EFI_LOAD_FILE2_PROTOCOL other = {};
    EFI_HANDLE theirs = fw.handles().install(nullptr, EFI_DEVICE_PATH_PROTOCOL_GUID, path.data());
    fw.handles().install(theirs, EFI_LOAD_FILE2_PROTOCOL_GUID, &other);

    EXPECT_EQ(linux_exec(parent, nullptr, kernel_iov(), initrd_iov()), EFI_ALREADY_STARTED);
    EXPECT_NE(fw.console().text().find("Error registering initrd: Already started"), std::string::npos);
    EXPECT_EQ(fw.calls(fakefw::Service::StartImage), 0u);
    EXPECT_EQ(fw.images().loaded_count(), 0u);
    // Theirs stays.
    EXPECT_EQ(fw.handles().with(EFI_LOAD_FILE2_PROTOCOL_GUID), std::vector<EFI_HANDLE>{theirs});
    EXPECT_TRUE(fw.check_leaks());
}

TEST_F(LinuxExec, AFailedProviderInstallationIsReportedWithItsStatus) {
    fw.fail(fakefw::Service::InstallMultipleProtocolInterfaces, EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(linux_exec(parent, nullptr, kernel_iov(), initrd_iov()), EFI_OUT_OF_RESOURCES);
    EXPECT_NE(fw.console().text().find("Error registering initrd: Out of resources"), std::string::npos);
    EXPECT_EQ(fw.calls(fakefw::Service::StartImage), 0u);
    expect_released();
}

TEST_F(LinuxExec, StartImageUnsupportedWithoutACompatEntryIsReturned) {
    fw.fail(fakefw::Service::StartImage, EFI_UNSUPPORTED);
    EXPECT_EQ(linux_exec(parent, nullptr, kernel_iov(), initrd_iov()), EFI_UNSUPPORTED);
    EXPECT_NE(fw.console().text().find("Error starting kernel image: Unsupported"), std::string::npos);
    expect_released();
}

TEST_F(LinuxExec, AKernelTheFirmwareCannotStartRunsFromItsCompatEntryPoint) {
    // A kernel of no machine type that the firmware loads but does not start; its ".compat"
    // names the x86-64 entry point: "mov eax, 4; ret" at the start of ".text" (RVA 0x2000).
    testsupport::PeImageSpec spec;
    spec.machine = 0;
    spec.sections = {{fakefw::ENTRY_SECTION, testsupport::bytes_of("kernel")},
                     {".text", {0xb8, 0x04, 0x00, 0x00, 0x00, 0xc3}},
                     {".compat", {1, 8, 0x64, 0x86, 0x00, 0x20, 0x00, 0x00}}};
    kernel = testsupport::build_pe(spec);
    EXPECT_EQ(linux_exec(parent, nullptr, kernel_iov(), initrd_iov()), EFI_WARN_BUFFER_TOO_SMALL);
    EXPECT_EQ(fw.calls(fakefw::Service::StartImage), 1u);
    expect_released();
}

TEST(ValidatePayload, OnlyTheKernelBufferUnderItsOwnPathObjectPasses) {
    std::vector<uint8_t> path = launchtest::KERNEL_PAYLOAD_PATH, copy = path;
    auto *dp = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(path.data());
    auto *same_bytes = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(copy.data());
    char kernel[64] = {};
    PayloadIdentity id = {kernel, sizeof(kernel), dp};

    EXPECT_TRUE(validate_payload(&id, dp, kernel, sizeof(kernel)));
    EXPECT_TRUE(validate_payload(&id, dp, nullptr, 0));
    EXPECT_FALSE(validate_payload(&id, same_bytes, kernel, sizeof(kernel)));
    EXPECT_FALSE(validate_payload(&id, same_bytes, nullptr, 0));
    EXPECT_FALSE(validate_payload(&id, dp, kernel, sizeof(kernel) - 1));
    EXPECT_FALSE(validate_payload(&id, dp, kernel + 1, sizeof(kernel) - 1));
}

namespace {

class LinuxExecSecureBoot : public LinuxExec {
protected:
    void SetUp() override {
        fw.variables().set_secure_boot(true);
        fw.security().set_enforcing(true);
        fw.images().set_entry("kernel", [this](EFI_HANDLE) {
            started = true;
            return EFI_ABORTED;
        });
    }
    bool hooks_are_the_firmwares() {
        return fw.security().security()->FileAuthenticationState == fakefw::Security::own_hook() &&
               fw.security().security2()->FileAuthentication == fakefw::Security::own_hook2();
    }
    bool started = false;
};

} // namespace

TEST_F(LinuxExecSecureBoot, OnlyTheEmbeddedKernelIsLetThroughAndTheHooksComeBack) {
    fw.security().install_security();
    fw.security().install_security2();
    EXPECT_EQ(linux_exec(parent, nullptr, kernel_iov(), initrd_iov()), EFI_ABORTED);
    EXPECT_TRUE(started);
    EXPECT_TRUE(fw.security().calls().empty());
    EXPECT_TRUE(hooks_are_the_firmwares());

    // Any other unsigned image still meets the firmware's verdict.
    std::vector<uint8_t> other = kernel_image("other");
    EFI_HANDLE image = nullptr;
    EXPECT_EQ(fw.boot_services()->LoadImage(false, parent, nullptr, other.data(), other.size(), &image),
              EFI_SECURITY_VIOLATION);
    fw.boot_services()->UnloadImage(image);
    expect_released();
}

TEST_F(LinuxExecSecureBoot, Security2AloneIsEnough) {
    fw.security().install_security2();
    EXPECT_EQ(linux_exec(parent, nullptr, kernel_iov(), initrd_iov()), EFI_ABORTED);
    EXPECT_TRUE(started);
    EXPECT_TRUE(fw.security().calls().empty());
    EXPECT_TRUE(hooks_are_the_firmwares());
    expect_released();
}

TEST_F(LinuxExecSecureBoot, TheSecurityProtocolAloneIdentifiesTheKernelByItsPath) {
    fw.security().install_security();
    EXPECT_EQ(linux_exec(parent, nullptr, kernel_iov(), initrd_iov()), EFI_ABORTED);
    EXPECT_TRUE(started);
    EXPECT_TRUE(fw.security().calls().empty());
    EXPECT_TRUE(hooks_are_the_firmwares());
    expect_released();
}

TEST_F(LinuxExecSecureBoot, TheHooksComeBackWhenLoadImageFails) {
    fw.security().install_security();
    fw.security().install_security2();
    fw.fail(fakefw::Service::LoadImage, EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(linux_exec(parent, nullptr, kernel_iov(), initrd_iov()), EFI_OUT_OF_RESOURCES);
    EXPECT_TRUE(hooks_are_the_firmwares());
    expect_released();
}

TEST_F(LinuxExec, WithSecureBootOffTheFirmwareDecidesAlone) {
    fw.security().install_security2();
    fw.images().set_entry("kernel", [](EFI_HANDLE) { return EFI_ABORTED; });
    EXPECT_EQ(linux_exec(parent, nullptr, kernel_iov(), initrd_iov()), EFI_ABORTED);
    ASSERT_EQ(fw.security().calls().size(), 1u);
    const fakefw::AuthCall &call = fw.security().calls()[0];
    EXPECT_EQ(call.buffer, kernel.data());
    EXPECT_EQ(call.size, kernel.size());
    EXPECT_EQ(call.device_path, fw.images().load_calls()[0].device_path);
    expect_released();
}
