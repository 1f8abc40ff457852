#include <gtest/gtest.h>

#include <string>

#include "boot/efi/load-file.h"
#include "boot/initrd.h"
#include "fakefw/device-path-bytes.h"
#include "fakefw/fakefw.h"
#include "launch-support.h"

using namespace korvane;

namespace {

class InitrdProvider : public ::testing::Test {
protected:
    fakefw::Firmware fw;
    std::string data = std::string(64, 'i') + "0123456789abcdef";
    EFI_HANDLE handle = nullptr;
    std::vector<uint8_t> path = launchtest::INITRD_MEDIA_PATH;

    EFI_LOAD_FILE2_PROTOCOL *load_file() {
        return static_cast<EFI_LOAD_FILE2_PROTOCOL *>(fw.handles().find(handle, EFI_LOAD_FILE2_PROTOCOL_GUID));
    }
    EFI_DEVICE_PATH_PROTOCOL *file_path() { return reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(path.data()); }
};

} // namespace

TEST_F(InitrdProvider, RegistersOnTheInitrdMediaPathWithoutCopying) {
    size_t pool_before = fw.memory().live_pool_count();
    ASSERT_EQ(register_initrd_loader({data.data(), data.size()}, &handle), EFI_SUCCESS);
    ASSERT_NE(handle, nullptr);
    auto *dp = static_cast<const EFI_DEVICE_PATH_PROTOCOL *>(fw.handles().find(handle, EFI_DEVICE_PATH_PROTOCOL_GUID));
    EXPECT_EQ(fakefw::device_path_bytes(dp), launchtest::INITRD_MEDIA_PATH);
    // The record only: the initrd itself is not copied.
    EXPECT_EQ(fw.memory().live_pool_count(), pool_before + 1);
    EXPECT_LT(fw.memory().pool_size(load_file()), data.size());

    unregister_initrd_loader(&handle);
    EXPECT_EQ(handle, nullptr);
    EXPECT_FALSE(fw.handles().valid(handle));
    EXPECT_TRUE(fw.handles().with(EFI_LOAD_FILE2_PROTOCOL_GUID).empty());
    // Removing twice does nothing.
    unregister_initrd_loader(&handle);
    EXPECT_EQ(fw.calls(fakefw::Service::UninstallMultipleProtocolInterfaces), 1u);
}

TEST_F(InitrdProvider, LoadFileAnswersSizeQueriesShortAndLargeBuffers) {
    ASSERT_EQ(register_initrd_loader({data.data(), data.size()}, &handle), EFI_SUCCESS);
    EFI_LOAD_FILE2_PROTOCOL *lf = load_file();

    UINTN size = 0;
    EXPECT_EQ(lf->LoadFile(lf, file_path(), false, &size, nullptr), EFI_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, data.size());

    std::string buffer(data.size() + 10, '#');
    size = data.size() - 1;
    EXPECT_EQ(lf->LoadFile(lf, file_path(), false, &size, buffer.data()), EFI_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, data.size());
    EXPECT_EQ(buffer, std::string(data.size() + 10, '#'));

    size = buffer.size();
    EXPECT_EQ(lf->LoadFile(lf, file_path(), false, &size, buffer.data()), EFI_SUCCESS);
    EXPECT_EQ(size, data.size());
    EXPECT_EQ(buffer, data + std::string(10, '#'));
    unregister_initrd_loader(&handle);
}

TEST_F(InitrdProvider, LoadFileRefusesMissingArgumentsBeforeBootPolicy) {
    ASSERT_EQ(register_initrd_loader({data.data(), data.size()}, &handle), EFI_SUCCESS);
    EFI_LOAD_FILE2_PROTOCOL *lf = load_file();
    std::string buffer(data.size(), '#');
    UINTN size = buffer.size();
    EXPECT_EQ(lf->LoadFile(lf, nullptr, true, &size, buffer.data()), EFI_INVALID_PARAMETER);
    EXPECT_EQ(lf->LoadFile(nullptr, file_path(), true, &size, buffer.data()), EFI_INVALID_PARAMETER);
    EXPECT_EQ(lf->LoadFile(lf, file_path(), true, nullptr, buffer.data()), EFI_INVALID_PARAMETER);
    EXPECT_EQ(lf->LoadFile(lf, file_path(), true, &size, buffer.data()), EFI_UNSUPPORTED);
    EXPECT_EQ(size, data.size());
    EXPECT_EQ(buffer, std::string(data.size(), '#'));
    unregister_initrd_loader(&handle);
}

TEST_F(InitrdProvider, AnEmptyInitrdRegistersNothing) {
    EXPECT_EQ(register_initrd_loader({nullptr, 0}, &handle), EFI_SUCCESS);
    EXPECT_EQ(register_initrd_loader({data.data(), 0}, &handle), EFI_SUCCESS);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(fw.calls(fakefw::Service::InstallMultipleProtocolInterfaces), 0u);
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
}

TEST_F(InitrdProvider, AnExistingProviderIsNotReplaced) {
    EFI_HANDLE first = nullptr;
    ASSERT_EQ(register_initrd_loader({data.data(), data.size()}, &first), EFI_SUCCESS);
    size_t pool = fw.memory().live_pool_count();
    EXPECT_EQ(register_initrd_loader({data.data(), 4}, &handle), EFI_ALREADY_STARTED);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(fw.memory().live_pool_count(), pool);
    EXPECT_EQ(fw.handles().with(EFI_LOAD_FILE2_PROTOCOL_GUID), std::vector<EFI_HANDLE>{first});
    unregister_initrd_loader(&first);
}

TEST_F(InitrdProvider, AFailedInstallationFreesTheRecord) {
    fw.fail(fakefw::Service::InstallMultipleProtocolInterfaces, EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(register_initrd_loader({data.data(), data.size()}, &handle), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
}

TEST_F(InitrdProvider, RemovalThatTheFirmwareRefusesForgetsTheHandleAndFreesNothing) {
    ASSERT_EQ(register_initrd_loader({data.data(), data.size()}, &handle), EFI_SUCCESS);
    EFI_HANDLE registered = handle;
    void *record = load_file();

    fw.fail(fakefw::Service::UninstallMultipleProtocolInterfaces, EFI_ACCESS_DENIED, 0, 1);
    unregister_initrd_loader(&handle);
    EXPECT_EQ(handle, nullptr);
    // The firmware may still hand the record out, so it must still be there.
    EXPECT_NE(fw.memory().pool(record), nullptr);

    handle = registered;
    fw.fail(fakefw::Service::HandleProtocol, EFI_DEVICE_ERROR, 0, 1);
    unregister_initrd_loader(&handle);
    EXPECT_EQ(handle, nullptr);
    EXPECT_NE(fw.memory().pool(record), nullptr);
    EXPECT_EQ(fw.calls(fakefw::Service::UninstallMultipleProtocolInterfaces), 1u);

    handle = registered;
    unregister_initrd_loader(&handle);
    EXPECT_EQ(fw.memory().pool(record), nullptr);
}
