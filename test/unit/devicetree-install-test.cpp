// Installing devicetree blobs as the firmware's devicetree table, and putting the previous
// table back when the boot does not go ahead.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "boot/devicetree.h"
#include "boot/efi/devicetree.h"
#include "boot/firmware.h"
#include "fakefw/dt-fixup.h"
#include "fakefw/fakefw.h"
#include "fdt-builder.h"

using fakefw::DtFixup;
using fakefw::Firmware;
using fakefw::Service;
using korvane::devicetree_install_from_memory;
using korvane::devicetree_restore;
using korvane::dt_allocate_pages;
using korvane::DtInstallState;

namespace {

constexpr size_t PAGE = 4096;
constexpr UINT32 APPLY_FIXUPS_AND_RESERVE_MEMORY = 3;

// A well-formed blob of exactly `size` bytes: a small tree, then a byte pattern of `seed`
// inside totalsize.
std::vector<uint8_t> blob_of_size(size_t size, uint8_t seed = 1) {
    fdttest::Fdt f;
    f.begin_node("").prop("compatible", std::string("acme,board\0", 11)).end_node().end();
    std::vector<uint8_t> v = f.build();
    size_t tree = v.size();
    v.resize(size);
    for (size_t i = tree; i < size; i++)
        v[i] = static_cast<uint8_t>(seed + i * 7);
    fdttest::put_be32(v, 4, static_cast<uint32_t>(size));
    return v;
}

void *address(EFI_PHYSICAL_ADDRESS a) { return reinterpret_cast<void *>(static_cast<uintptr_t>(a)); }

const void *installed_table(Firmware &fw) { return fw.config_tables().find(EFI_DTB_TABLE_GUID); }

bool holds(const void *p, const std::vector<uint8_t> &blob) { return p && memcmp(p, blob.data(), blob.size()) == 0; }

// Frees a copy the code under test leaves allocated on purpose (it may be in the table).
void free_copy(EFI_PHYSICAL_ADDRESS addr, uint64_t pages) { EXPECT_EQ(korvane::BS->FreePages(addr, pages), EFI_SUCCESS); }

void expect_state_empty(const DtInstallState &s) {
    EXPECT_EQ(s.copy_address, 0u);
    EXPECT_EQ(s.copy_pages, 0u);
    EXPECT_EQ(s.previous_table, nullptr);
}

} // namespace

TEST(DevicetreeAllocate, RoundsUpToWholeAcpiReclaimPages) {
    Firmware fw;
    for (auto [size, pages] : {std::pair<size_t, uint64_t>{1, 1}, {4096, 1}, {4097, 2}, {5000, 2}, {3 * PAGE, 3}}) {
        DtInstallState s = {};
        ASSERT_EQ(dt_allocate_pages(&s, size), EFI_SUCCESS);
        EXPECT_EQ(s.copy_pages, pages) << size;
        const fakefw::PageBlock *block = fw.memory().pages(s.copy_address);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(block->n_pages, pages);
        EXPECT_EQ(block->type, EfiACPIReclaimMemory);
        free_copy(s.copy_address, s.copy_pages);
    }
}

TEST(DevicetreeAllocate, FailureLeavesTheStateAsItWas) {
    Firmware fw;
    int marker;
    DtInstallState s = {.copy_address = 0x1234000, .copy_pages = 7, .previous_table = &marker};
    fw.fail(Service::AllocatePages, EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(dt_allocate_pages(&s, 100), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(s.copy_address, 0x1234000u);
    EXPECT_EQ(s.copy_pages, 7u);
    EXPECT_EQ(s.previous_table, &marker);
}

TEST(DevicetreeInstall, WithoutFixupProtocolTheExactCopyIsInstalled) {
    Firmware fw;
    for (size_t size : {size_t{4096}, size_t{5000}}) {
        std::vector<uint8_t> blob = blob_of_size(size);
        DtInstallState s = {};
        ASSERT_EQ(devicetree_install_from_memory(&s, blob.data(), blob.size()), EFI_SUCCESS);
        EXPECT_EQ(s.copy_pages, efi_size_to_pages(size));
        const void *table = installed_table(fw);
        EXPECT_EQ(table, address(s.copy_address));
        EXPECT_NE(table, blob.data());
        EXPECT_TRUE(holds(table, blob));
        ASSERT_NE(fw.memory().pages(s.copy_address), nullptr);
        EXPECT_EQ(fw.memory().pages(s.copy_address)->type, EfiACPIReclaimMemory);
        devicetree_restore(&s);
    }
    EXPECT_EQ(installed_table(fw), nullptr);
}

TEST(DevicetreeInstall, FixupWorksOnTheCopyBeforeItIsInstalled) {
    Firmware fw;
    DtFixup fixup(fw);
    fixup.install();
    // The firmware's edit: it appends a marker inside the buffer it was given.
    fixup.set_edit([](uint8_t *fdt, UINTN size) { fdt[size - 1] = 0x5a; });
    std::vector<uint8_t> blob = blob_of_size(5000);
    DtInstallState s = {};
    ASSERT_EQ(devicetree_install_from_memory(&s, blob.data(), blob.size()), EFI_SUCCESS);

    ASSERT_EQ(fixup.calls().size(), 1u);
    const fakefw::DtFixupCall &call = fixup.calls()[0];
    EXPECT_EQ(call.fdt, address(s.copy_address));
    EXPECT_EQ(call.buffer_size, 2 * PAGE);
    EXPECT_EQ(call.flags, APPLY_FIXUPS_AND_RESERVE_MEMORY);
    EXPECT_EQ(call.contents, blob);
    auto *table = static_cast<const uint8_t *>(installed_table(fw));
    EXPECT_EQ(table, address(s.copy_address));
    EXPECT_TRUE(holds(table, blob));
    EXPECT_EQ(table[2 * PAGE - 1], 0x5a);
    devicetree_restore(&s);
}

TEST(DevicetreeInstall, BufferTooSmallMovesTheCopyToTheSizeAskedFor) {
    Firmware fw;
    DtFixup fixup(fw);
    fixup.install();
    fixup.require_size(9000);
    std::vector<uint8_t> blob = blob_of_size(5000);
    DtInstallState s = {};
    ASSERT_EQ(devicetree_install_from_memory(&s, blob.data(), blob.size()), EFI_SUCCESS);

    ASSERT_EQ(fixup.calls().size(), 2u);
    auto *first = fixup.calls()[0].fdt;
    EXPECT_EQ(fixup.calls()[0].buffer_size, 2 * PAGE);
    EXPECT_EQ(fixup.calls()[0].status, EFI_BUFFER_TOO_SMALL);
    EXPECT_EQ(fw.memory().pages(reinterpret_cast<uintptr_t>(first)), nullptr) << "the first copy is freed";

    EXPECT_EQ(s.copy_pages, 3u);
    EXPECT_EQ(fixup.calls()[1].fdt, address(s.copy_address));
    EXPECT_EQ(fixup.calls()[1].buffer_size, 3 * PAGE);
    EXPECT_EQ(fixup.calls()[1].flags, APPLY_FIXUPS_AND_RESERVE_MEMORY);
    EXPECT_EQ(fixup.calls()[1].contents, blob);
    EXPECT_EQ(fixup.calls()[1].status, EFI_SUCCESS);
    EXPECT_EQ(installed_table(fw), address(s.copy_address));
    EXPECT_EQ(fw.memory().live_pages_count(), 1u);
    devicetree_restore(&s);
}

TEST(DevicetreeInstall, ARequestSmallerThanTheBlobStillHoldsAllOfIt) {
    Firmware fw;
    DtFixup fixup(fw);
    fixup.install();
    fixup.reply_once(EFI_BUFFER_TOO_SMALL, 100);
    std::vector<uint8_t> blob = blob_of_size(5000);
    DtInstallState s = {};
    ASSERT_EQ(devicetree_install_from_memory(&s, blob.data(), blob.size()), EFI_SUCCESS);
    EXPECT_EQ(s.copy_pages, 2u);
    ASSERT_EQ(fixup.calls().size(), 2u);
    EXPECT_EQ(fixup.calls()[1].contents, blob);
    EXPECT_TRUE(holds(installed_table(fw), blob));
    devicetree_restore(&s);
}

// Every failure leaves the table as it was, frees the new copy and keeps the state of the
// installation before.
TEST(DevicetreeInstall, FailuresChangeNothing) {
    struct Case {
        const char *name;
        std::function<void(Firmware &, DtFixup &)> arrange;
        EFI_STATUS expected;
    };
    const std::vector<Case> cases = {
        {"allocation", [](Firmware &fw, DtFixup &) { fw.fail(Service::AllocatePages, EFI_OUT_OF_RESOURCES); },
         EFI_OUT_OF_RESOURCES},
        {"fix-up", [](Firmware &, DtFixup &f) { f.fail(EFI_DEVICE_ERROR); }, EFI_DEVICE_ERROR},
        {"second buffer too small",
         [](Firmware &, DtFixup &f) {
             f.reply_once(EFI_BUFFER_TOO_SMALL, 9000);
             f.require_size(20000);
         },
         EFI_BUFFER_TOO_SMALL},
        {"larger allocation",
         [](Firmware &fw, DtFixup &f) {
             f.require_size(9000);
             fw.fail(Service::AllocatePages, EFI_OUT_OF_RESOURCES, 1);
         },
         EFI_OUT_OF_RESOURCES},
        {"second fix-up",
         [](Firmware &, DtFixup &f) {
             f.require_size(9000);
             f.fail(EFI_ABORTED, 1);
         },
         EFI_ABORTED},
        {"table install",
         [](Firmware &fw, DtFixup &) { fw.fail(Service::InstallConfigurationTable, EFI_OUT_OF_RESOURCES); },
         EFI_OUT_OF_RESOURCES},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Firmware fw;
        DtFixup fixup(fw);
        fixup.install();
        std::vector<uint8_t> firmware_dtb = blob_of_size(64, 9);
        fw.config_tables().add(EFI_DTB_TABLE_GUID, firmware_dtb.data());
        int earlier;
        DtInstallState s = {.copy_address = 0x7000000, .copy_pages = 2, .previous_table = &earlier};

        c.arrange(fw, fixup);
        std::vector<uint8_t> blob = blob_of_size(5000);
        EXPECT_EQ(devicetree_install_from_memory(&s, blob.data(), blob.size()), c.expected);
        EXPECT_EQ(installed_table(fw), firmware_dtb.data());
        EXPECT_EQ(fw.memory().live_pages_count(), 0u);
        EXPECT_EQ(s.copy_address, 0x7000000u);
        EXPECT_EQ(s.copy_pages, 2u);
        EXPECT_EQ(s.previous_table, &earlier);
    }
}

TEST(DevicetreeRestore, PutsTheFirmwareDevicetreeBackAndFreesTheCopy) {
    Firmware fw;
    std::vector<uint8_t> firmware_dtb = blob_of_size(64, 9);
    fw.config_tables().add(EFI_DTB_TABLE_GUID, firmware_dtb.data());
    std::vector<uint8_t> blob = blob_of_size(300);
    DtInstallState s = {};
    ASSERT_EQ(devicetree_install_from_memory(&s, blob.data(), blob.size()), EFI_SUCCESS);
    EXPECT_EQ(s.previous_table, firmware_dtb.data());
    EXPECT_TRUE(holds(installed_table(fw), blob));

    devicetree_restore(&s);
    EXPECT_EQ(installed_table(fw), firmware_dtb.data());
    EXPECT_EQ(fw.memory().live_pages_count(), 0u);
    expect_state_empty(s);
    // Nothing left to undo: a second restore does not touch the table.
    unsigned installs = fw.calls(Service::InstallConfigurationTable);
    devicetree_restore(&s);
    EXPECT_EQ(fw.calls(Service::InstallConfigurationTable), installs);
}

TEST(DevicetreeRestore, WithoutAnEarlierDevicetreeTheEntryIsRemoved) {
    Firmware fw;
    std::vector<uint8_t> blob = blob_of_size(300);
    DtInstallState s = {};
    ASSERT_EQ(devicetree_install_from_memory(&s, blob.data(), blob.size()), EFI_SUCCESS);
    EXPECT_EQ(s.previous_table, nullptr);
    size_t entries = fw.config_tables().count();
    devicetree_restore(&s);
    EXPECT_EQ(installed_table(fw), nullptr);
    EXPECT_EQ(fw.config_tables().count(), entries - 1);
    EXPECT_EQ(fw.memory().live_pages_count(), 0u);
}

TEST(DevicetreeRestore, KeepsTheCopyWhileTheTableStillPointsAtIt) {
    Firmware fw;
    std::vector<uint8_t> blob = blob_of_size(300);
    DtInstallState s = {};
    ASSERT_EQ(devicetree_install_from_memory(&s, blob.data(), blob.size()), EFI_SUCCESS);
    DtInstallState installed = s;

    fw.fail(Service::InstallConfigurationTable, EFI_OUT_OF_RESOURCES, 0, 1);
    devicetree_restore(&s);
    EXPECT_EQ(installed_table(fw), address(installed.copy_address));
    EXPECT_NE(fw.memory().pages(installed.copy_address), nullptr);
    EXPECT_EQ(s.copy_address, installed.copy_address);
    EXPECT_EQ(s.copy_pages, installed.copy_pages);

    devicetree_restore(&s);
    EXPECT_EQ(installed_table(fw), nullptr);
    EXPECT_EQ(fw.memory().live_pages_count(), 0u);
}

TEST(DevicetreeRestore, AfterThreeInstallationsGoesBackToTheFirmwareDevicetree) {
    Firmware fw;
    std::vector<uint8_t> firmware_dt = blob_of_size(64, 9);
    fw.config_tables().add(EFI_DTB_TABLE_GUID, firmware_dt.data());
    std::vector<std::vector<uint8_t>> blobs = {blob_of_size(100, 1), blob_of_size(5000, 2), blob_of_size(200, 3)};
    DtInstallState s = {};
    std::vector<DtInstallState> after;
    for (const std::vector<uint8_t> &blob : blobs) {
        ASSERT_EQ(devicetree_install_from_memory(&s, blob.data(), blob.size()), EFI_SUCCESS);
        EXPECT_TRUE(holds(installed_table(fw), blob));
        EXPECT_EQ(s.previous_table, firmware_dt.data());
        after.push_back(s);
        // Only the installed copy is left: each one frees the copy it replaced.
        EXPECT_EQ(fw.memory().live_pages_count(), 1u);
    }

    devicetree_restore(&s);
    EXPECT_EQ(installed_table(fw), firmware_dt.data());
    EXPECT_EQ(fw.memory().live_pages_count(), 0u);
}

TEST(DevicetreeRestore, AFailedInstallationDoesNotHideTheOneBefore) {
    Firmware fw;
    DtFixup fixup(fw);
    fixup.install();
    std::vector<uint8_t> good = blob_of_size(100), bad = blob_of_size(200);
    DtInstallState s = {};
    ASSERT_EQ(devicetree_install_from_memory(&s, good.data(), good.size()), EFI_SUCCESS);
    fixup.fail(EFI_DEVICE_ERROR);
    EXPECT_EQ(devicetree_install_from_memory(&s, bad.data(), bad.size()), EFI_DEVICE_ERROR);
    EXPECT_TRUE(holds(installed_table(fw), good));

    devicetree_restore(&s);
    EXPECT_EQ(installed_table(fw), nullptr);
    EXPECT_EQ(fw.memory().live_pages_count(), 0u);
}

TEST(DevicetreeInstall, NullBlobHalts) {
    Firmware fw;
    DtInstallState s = {};
    EXPECT_NE(fakefw::expect_halt([&] { devicetree_install_from_memory(&s, nullptr, 100); }).find("Assertion"),
              std::string::npos);
}

TEST(DevicetreeInstall, EmptyBlobHalts) {
    Firmware fw;
    DtInstallState s = {};
    std::vector<uint8_t> blob = blob_of_size(100);
    EXPECT_NE(fakefw::expect_halt([&] { devicetree_install_from_memory(&s, blob.data(), 0); }).find("Assertion"),
              std::string::npos);
}
