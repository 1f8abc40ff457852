// The boot loader interface variables, checked byte for byte in the fake variable store.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "boot/efivars.h"
#include "boot/export-vars.h"
#include "fakefw/fakefw.h"
#include "support/device-path-builder.h"
#include "support/gpt-builder.h"

namespace {

using namespace korvane;
using namespace testsupport;
using fakefw::Bytes;
using fakefw::Firmware;
using fakefw::Service;

constexpr EFI_GUID PART_UNIQUE = {0x01234567, 0x89ab, 0xcdef, {0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10}};
constexpr EFI_GUID ESP_TYPE = {0xc12a7328, 0xf81f, 0x11d2, {0xba, 0x4b, 0x00, 0xa0, 0xc9, 0x3e, 0xc9, 0x3b}};
const char16_t *const PART_UUID_TEXT = u"01234567-89AB-CDEF-FEDC-BA9876543210";

Bytes utf16z(std::u16string_view s) {
    Bytes out;
    for (char16_t c : s) {
        out.push_back(uint8_t(c));
        out.push_back(uint8_t(c >> 8));
    }
    out.insert(out.end(), {0, 0});
    return out;
}

Bytes le64(uint64_t v) {
    Bytes out;
    for (int i = 0; i < 8; i++)
        out.push_back(uint8_t(v >> (8 * i)));
    return out;
}

class ExportVars : public ::testing::Test {
protected:
    Firmware fw;
    DevicePathBytes device_path;
    DevicePathBytes file_path = dp_path({dp_file_node(u"\\EFI\\Linux\\korvane.efi")});
    EFI_LOADED_IMAGE_PROTOCOL image = {};

    void SetUp() override {
        HARDDRIVE_DEVICE_PATH hd = gpt_partition_node({ESP_TYPE, PART_UNIQUE, 2048, 4095}, 0);
        const auto *p = reinterpret_cast<const uint8_t *>(&hd);
        device_path = dp_path({dp_node(0x01, 0x01, {0, 2}), DevicePathBytes(p, p + sizeof(hd))});
        image.DeviceHandle = fw.handles().install(nullptr, EFI_DEVICE_PATH_PROTOCOL_GUID, device_path.data());
        image.FilePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(file_path.data());
    }

    const fakefw::Variable *var(const std::u16string &name) { return fw.variables().find(LOADER_VENDOR_GUID, name); }
    void expect_text(const std::u16string &name, std::u16string_view value) {
        SCOPED_TRACE(std::string(name.begin(), name.end()));
        const fakefw::Variable *v = var(name);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->data, utf16z(value));
        EXPECT_EQ(v->attributes, EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS);
    }
};

TEST_F(ExportVars, CommonVariablesOnAFreshBoot) {
    fw.set_firmware_vendor(u"X");
    fw.set_firmware_revision(0x00010000);
    fw.set_uefi_revision(2 << 16 | 70);
    export_common_variables(&image);
    expect_text(u"LoaderDevicePartUUID", PART_UUID_TEXT);
    expect_text(u"LoaderImageIdentifier", u"\\EFI\\Linux\\korvane.efi");
    expect_text(u"LoaderFirmwareInfo", u"X 1.00");
    expect_text(u"LoaderFirmwareType", u"UEFI 2.70");
    EXPECT_EQ(fw.variables().count(), 4u);
}

TEST_F(ExportVars, MinorRevisionsPrintInFull) {
    fw.set_firmware_vendor(u"Vendor Inc.");
    fw.set_firmware_revision(3 << 16 | 100);
    fw.set_uefi_revision(2 << 16 | 5);
    export_common_variables(&image);
    expect_text(u"LoaderFirmwareInfo", u"Vendor Inc. 3.100");
    expect_text(u"LoaderFirmwareType", u"UEFI 2.05");
}

TEST_F(ExportVars, LoaderVariablesOfABootLoaderStayButStubOnesAreWritten) {
    const char16_t *names[] = {u"LoaderDevicePartUUID", u"LoaderImageIdentifier", u"LoaderFirmwareInfo",
                               u"LoaderFirmwareType"};
    for (const char16_t *name : names)
        fw.variables().set(LOADER_VENDOR_GUID, name, utf16z(u"from the loader"));
    export_common_variables(&image);
    for (const char16_t *name : names)
        expect_text(name, u"from the loader");
    export_stub_variables(&image, 0);
    expect_text(u"StubDevicePartUUID", PART_UUID_TEXT);
    expect_text(u"StubImageIdentifier", u"\\EFI\\Linux\\korvane.efi");
}

TEST_F(ExportVars, OnlyTheMissingLoaderVariablesAreFilledIn) {
    fw.variables().set(LOADER_VENDOR_GUID, u"LoaderImageIdentifier", utf16z(u"\\EFI\\BOOT\\BOOTX64.EFI"));
    fw.variables().set(LOADER_VENDOR_GUID, u"LoaderFirmwareType", utf16z(u"UEFI 9.99"));
    export_common_variables(&image);
    expect_text(u"LoaderDevicePartUUID", PART_UUID_TEXT);
    expect_text(u"LoaderImageIdentifier", u"\\EFI\\BOOT\\BOOTX64.EFI");
    expect_text(u"LoaderFirmwareInfo", u"fakefw 1.00");
    expect_text(u"LoaderFirmwareType", u"UEFI 9.99");
}

TEST_F(ExportVars, StubVariablesReplaceEarlierValues) {
    for (const char16_t *name : {u"StubInfo", u"StubFeatures", u"StubProfile", u"StubDevicePartUUID"})
        fw.variables().set(LOADER_VENDOR_GUID, name, utf16z(u"stale"));
    export_stub_variables(&image, 3);
    EXPECT_EQ(var(u"StubFeatures")->data, le64(0x7ff));
    expect_text(u"StubProfile", u"3");
    expect_text(u"StubDevicePartUUID", PART_UUID_TEXT);
    EXPECT_NE(var(u"StubInfo")->data, utf16z(u"stale"));
}

// The image's device is a partition handle the firmware made for a GPT entry; the text is
// the entry's unique GUID in the registry form, computed here from the GUID's fields.
TEST_F(ExportVars, PartitionUuidOfAFirmwarePartitionHandle) {
    const EFI_GUID unique = {0xdeadbeef, 0x0123, 0xcafe, {0x80, 0x01, 0xff, 0x00, 0x10, 0x20, 0x30, 0x40}};
    GptEntrySpec entry = {ESP_TYPE, unique, 8, 23};
    GptSpec spec;
    spec.entries = {entry};
    fakefw::Disk &disk = fw.block_devices().add_disk(build_gpt_disk(spec));
    disk.add_partition(gpt_partition_node(entry, 0));
    disk.connect();
    image.DeviceHandle = disk.partition_handles().at(0);

    char text[37];
    snprintf(text, sizeof(text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", unique.Data1, unique.Data2,
             unique.Data3, unique.Data4[0], unique.Data4[1], unique.Data4[2], unique.Data4[3], unique.Data4[4],
             unique.Data4[5], unique.Data4[6], unique.Data4[7]);
    std::u16string expected(text, text + 36);
    export_common_variables(&image);
    export_stub_variables(&image, 0);
    expect_text(u"LoaderDevicePartUUID", expected);
    expect_text(u"StubDevicePartUUID", expected);
}

TEST_F(ExportVars, AnEmptyLoaderVariableCountsAsSet) {
    fw.variables().set(LOADER_VENDOR_GUID, u"LoaderFirmwareType", {});
    export_common_variables(&image);
    EXPECT_TRUE(var(u"LoaderFirmwareType")->data.empty());
}

TEST_F(ExportVars, StubVariables) {
    export_stub_variables(&image, 0);
    std::string version = KORVANE_VERSION;
    expect_text(u"StubInfo", u"korvane-stub " + std::u16string(version.begin(), version.end()));
    ASSERT_NE(var(u"StubFeatures"), nullptr);
    EXPECT_EQ(var(u"StubFeatures")->data, le64(0x7ff));
    expect_text(u"StubProfile", u"0");
    expect_text(u"StubDevicePartUUID", PART_UUID_TEXT);
    expect_text(u"StubImageIdentifier", u"\\EFI\\Linux\\korvane.efi");
    EXPECT_EQ(fw.variables().count(), 5u);

    export_stub_variables(&image, 4294967295u);
    expect_text(u"StubProfile", u"4294967295");
}

TEST_F(ExportVars, NoGptPartitionNoDeviceNoPath) {
    DevicePathBytes mbr_path = dp_path({dp_node(0x01, 0x01, {0, 2})});
    image.DeviceHandle = fw.handles().install(nullptr, EFI_DEVICE_PATH_PROTOCOL_GUID, mbr_path.data());
    export_common_variables(&image);
    export_stub_variables(&image, 1);
    EXPECT_EQ(var(u"LoaderDevicePartUUID"), nullptr);
    EXPECT_EQ(var(u"StubDevicePartUUID"), nullptr);

    image.DeviceHandle = nullptr;
    image.FilePath = nullptr;
    fw.variables().remove(LOADER_VENDOR_GUID, u"LoaderImageIdentifier");
    fw.variables().remove(LOADER_VENDOR_GUID, u"StubImageIdentifier");
    export_common_variables(&image);
    export_stub_variables(&image, 1);
    EXPECT_EQ(var(u"LoaderImageIdentifier"), nullptr);
    EXPECT_EQ(var(u"StubImageIdentifier"), nullptr);
    EXPECT_EQ(var(u"StubDevicePartUUID"), nullptr);
}

TEST_F(ExportVars, EmptyFilePathDeletesStubImageIdentifier) {
    fw.variables().set(LOADER_VENDOR_GUID, u"StubImageIdentifier", utf16z(u"stale"));
    DevicePathBytes empty = dp_path({});
    image.FilePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(empty.data());
    export_stub_variables(&image, 0);
    EXPECT_EQ(var(u"StubImageIdentifier"), nullptr);
}

TEST_F(ExportVars, WriteFailuresAreIgnoredAndLeakNothing) {
    for (unsigned after = 0; after < 10; after++) {
        fw.fail(Service::SetVariable, EFI_OUT_OF_RESOURCES, after, 1);
        export_common_variables(&image);
        export_stub_variables(&image, 2);
        EXPECT_EQ(fw.memory().live_pool_count(), 0u);
    }
    fw.faults().clear(Service::SetVariable);
    fw.fail(Service::GetVariable, EFI_DEVICE_ERROR);
    export_common_variables(&image);
    expect_text(u"LoaderFirmwareInfo", u"fakefw 1.00");
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
}

TEST_F(ExportVars, PcrVariablesOnlyForFlagsAtOne) {
    export_pcr_variables(1, 1, 1, 1);
    expect_text(u"StubPcrKernelImage", u"11");
    expect_text(u"StubPcrKernelParameters", u"12");
    expect_text(u"StubPcrInitRDSysExts", u"13");
    expect_text(u"StubPcrInitRDConfExts", u"12");
}

TEST_F(ExportVars, PcrVariablesOfFlagsBelowOneAreLeftAlone) {
    fw.variables().set(LOADER_VENDOR_GUID, u"StubPcrKernelParameters", utf16z(u"old"));
    export_pcr_variables(1, 0, -1, 0);
    expect_text(u"StubPcrKernelImage", u"11");
    expect_text(u"StubPcrKernelParameters", u"old");
    EXPECT_EQ(var(u"StubPcrInitRDSysExts"), nullptr);
    EXPECT_EQ(var(u"StubPcrInitRDConfExts"), nullptr);
}

TEST_F(ExportVars, NothingMeasuredWritesNoPcrVariable) {
    export_pcr_variables(-1, -1, -1, -1);
    EXPECT_EQ(fw.variables().count(), 0u);
}

} // namespace
