// The fake firmware's own guarantees, where a fault of the fake would hide a fault of the stub.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstring>

#include "boot/firmware.h"
#include "boot/log.h"
#include "fakefw/fakefw.h"

using fakefw::Firmware;
using fakefw::Service;

namespace {

constexpr UINT64 FOUR_GIB = UINT64(1) << 32;

TEST(FakefwTables, EveryMemberIsFilledAndUnimplementedOnesFailLoudly) {
    Firmware fw;
    // Every slot after the header is a member, except the boot services' Reserved slot.
    auto slots = [](const void *table, size_t size) {
        const auto *p = reinterpret_cast<void *const *>(static_cast<const uint8_t *>(table) + sizeof(EFI_TABLE_HEADER));
        return std::vector<void *>(p, p + (size - sizeof(EFI_TABLE_HEADER)) / sizeof(void *));
    };
    std::vector<void *> bs = slots(fw.boot_services(), sizeof(EFI_BOOT_SERVICES));
    size_t reserved = (offsetof(EFI_BOOT_SERVICES, Reserved) - sizeof(EFI_TABLE_HEADER)) / sizeof(void *);
    for (size_t i = 0; i < bs.size(); i++)
        EXPECT_EQ(bs[i] == nullptr, i == reserved) << "boot services slot " << i;
    for (void *member : slots(fw.runtime_services(), sizeof(EFI_RUNTIME_SERVICES)))
        EXPECT_NE(member, nullptr);

    EFI_STATUS status = EFI_SUCCESS;
    EXPECT_NONFATAL_FAILURE(status = korvane::BS->ExitBootServices(nullptr, 0), "ExitBootServices is not implemented");
    EXPECT_EQ(status, EFI_UNSUPPORTED);
    UINTN size = 0;
    EXPECT_NONFATAL_FAILURE(status = korvane::RT->GetNextVariableName(&size, nullptr, nullptr),
                            "GetNextVariableName is not implemented");
    EXPECT_EQ(status, EFI_UNSUPPORTED);
    EXPECT_NONFATAL_FAILURE(korvane::ST->ConOut->ClearScreen(korvane::ST->ConOut), "ConOutClearScreen");
}

TEST(FakefwTables, SystemTableDescribesTheFirmware) {
    Firmware fw;
    EFI_SYSTEM_TABLE *st = korvane::ST;
    EXPECT_EQ(st, fw.system_table());
    EXPECT_EQ(st->Hdr.Signature, EFI_SYSTEM_TABLE_SIGNATURE);
    EXPECT_EQ(st->Hdr.HeaderSize, sizeof(EFI_SYSTEM_TABLE));
    EXPECT_EQ(korvane::BS->Hdr.Signature, EFI_BOOT_SERVICES_SIGNATURE);
    EXPECT_EQ(korvane::RT->Hdr.Signature, EFI_RUNTIME_SERVICES_SIGNATURE);
    EXPECT_EQ(std::u16string(st->FirmwareVendor), u"fakefw");
    fw.set_firmware_vendor(u"Example Corp.");
    fw.set_firmware_revision(0x20240101);
    fw.set_uefi_revision((2 << 16) | 70);
    EXPECT_EQ(std::u16string(st->FirmwareVendor), u"Example Corp.");
    EXPECT_EQ(st->FirmwareRevision, 0x20240101u);
    EXPECT_EQ(st->Hdr.Revision, UINT32((2 << 16) | 70));
    EXPECT_EQ(korvane::BS->Hdr.Revision, UINT32((2 << 16) | 70));
    void *conout = nullptr;
    EXPECT_EQ(korvane::BS->HandleProtocol(st->ConsoleOutHandle, &EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL_GUID, &conout),
              EFI_SUCCESS);
    EXPECT_EQ(conout, st->ConOut);
}

TEST(FakefwLifecycle, InstancesFollowEachOtherAndResetTheLoggingState) {
    {
        Firmware fw;
        EXPECT_EQ(korvane::BS, fw.boot_services());
        EXPECT_EQ(korvane::RT, fw.runtime_services());
        korvane::logged_count = 3;
        korvane::assert_active = true;
    }
    EXPECT_EQ(korvane::ST, nullptr);
    EXPECT_EQ(korvane::BS, nullptr);
    EXPECT_EQ(korvane::RT, nullptr);
    Firmware second;
    EXPECT_EQ(korvane::ST, second.system_table());
    EXPECT_EQ(korvane::logged_count, 0u);
    EXPECT_FALSE(korvane::assert_active);
}

TEST(FakefwFaults, FailAfterSomeCallsForSomeTimes) {
    Firmware fw;
    fw.fail(Service::AllocatePool, EFI_OUT_OF_RESOURCES, 2, 1);
    void *p[4] = {};
    EXPECT_EQ(korvane::BS->AllocatePool(EfiLoaderData, 8, &p[0]), EFI_SUCCESS);
    EXPECT_EQ(korvane::BS->AllocatePool(EfiLoaderData, 8, &p[1]), EFI_SUCCESS);
    EXPECT_EQ(korvane::BS->AllocatePool(EfiLoaderData, 8, &p[2]), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(p[2], nullptr) << "a failed call must not do its work";
    EXPECT_EQ(korvane::BS->AllocatePool(EfiLoaderData, 8, &p[3]), EFI_SUCCESS);
    EXPECT_EQ(fw.calls(Service::AllocatePool), 4u);
    EXPECT_EQ(fw.memory().live_pool_count(), 3u);
    for (void *q : p)
        if (q)
            korvane::BS->FreePool(q);

    fw.fail(Service::GetVariable, EFI_NOT_FOUND);
    UINTN size = 0;
    EXPECT_EQ(korvane::RT->GetVariable(u"x", nullptr, nullptr, &size, nullptr), EFI_NOT_FOUND);
    EXPECT_EQ(korvane::RT->GetVariable(u"x", nullptr, nullptr, &size, nullptr), EFI_NOT_FOUND);
    fw.fail(Service::ConOutOutputString, EFI_DEVICE_ERROR, 0, 1);
    EXPECT_EQ(korvane::ST->ConOut->OutputString(korvane::ST->ConOut, u"lost"), EFI_DEVICE_ERROR);
    EXPECT_EQ(korvane::ST->ConOut->OutputString(korvane::ST->ConOut, u"kept"), EFI_SUCCESS);
    EXPECT_EQ(fw.console().text(), "kept");

    EXPECT_NONFATAL_FAILURE(fw.fail(Service::CopyMem, EFI_DEVICE_ERROR), "CopyMem returns no status");
}

TEST(FakefwMemory, LeaksFailTheTestWithSizeAndType) {
    EXPECT_NONFATAL_FAILURE(
        {
            Firmware fw;
            void *p = nullptr;
            fw.boot_services()->AllocatePool(EfiBootServicesData, 24, &p);
        },
        "pool: 24 bytes of EfiBootServicesData");
    EXPECT_NONFATAL_FAILURE(
        {
            Firmware fw;
            EFI_PHYSICAL_ADDRESS addr = 0;
            fw.boot_services()->AllocatePages(AllocateAnyPages, EfiLoaderCode, 2, &addr);
        },
        "pages: 2 pages (8192 bytes) of EfiLoaderCode");

    Firmware fw;
    void *p = nullptr;
    ASSERT_EQ(korvane::BS->AllocatePool(EfiLoaderData, 5, &p), EFI_SUCCESS);
    bool clean = true;
    EXPECT_NONFATAL_FAILURE(clean = fw.check_leaks(), "5 bytes of EfiLoaderData");
    EXPECT_FALSE(clean);
    korvane::BS->FreePool(p);
    EXPECT_TRUE(fw.check_leaks());
}

TEST(FakefwMemory, NoLeakCheckAfterAHalt) {
    Firmware fw;
    void *p = nullptr;
    ASSERT_EQ(korvane::BS->AllocatePool(EfiLoaderData, 5, &p), EFI_SUCCESS);
    fakefw::expect_halt([] { korvane::halt_forever(); });
    EXPECT_TRUE(fw.halted());
}

TEST(FakefwMemory, FreeingWhatWasNotAllocatedFailsTheTest) {
    Firmware fw;
    int not_pool = 0;
    EXPECT_NONFATAL_FAILURE(korvane::BS->FreePool(&not_pool), "not a live pool allocation");
    EXPECT_NONFATAL_FAILURE(korvane::BS->FreePool(nullptr), "not a live pool allocation");
    void *p = nullptr;
    ASSERT_EQ(korvane::BS->AllocatePool(EfiLoaderData, 16, &p), EFI_SUCCESS);
    EXPECT_EQ(fw.memory().pool_size(p), 16u);
    EXPECT_EQ(korvane::BS->FreePool(p), EFI_SUCCESS);
    EXPECT_NONFATAL_FAILURE(korvane::BS->FreePool(p), "not a live pool allocation");

    EFI_PHYSICAL_ADDRESS addr = 0;
    ASSERT_EQ(korvane::BS->AllocatePages(AllocateAnyPages, EfiLoaderData, 3, &addr), EFI_SUCCESS);
    EXPECT_NONFATAL_FAILURE(korvane::BS->FreePages(addr, 2), "does not match a live page allocation");
    EXPECT_NONFATAL_FAILURE(korvane::BS->FreePages(addr + EFI_PAGE_SIZE, 2), "does not match");
    EXPECT_EQ(korvane::BS->FreePages(addr, 3), EFI_SUCCESS);
}

TEST(FakefwMemory, PageAllocationsHonourTheirAddressRules) {
    Firmware fw;
    for (UINT64 limit : {FOUR_GIB - 1, UINT64(0x3fffffff), UINT64(0x00ffffff)}) {
        EFI_PHYSICAL_ADDRESS addr = limit;
        ASSERT_EQ(korvane::BS->AllocatePages(AllocateMaxAddress, EfiLoaderData, 4, &addr), EFI_SUCCESS) << limit;
        EXPECT_LE(addr + 4 * EFI_PAGE_SIZE - 1, limit);
        EXPECT_EQ(addr % EFI_PAGE_SIZE, 0u);
        memset(reinterpret_cast<void *>(addr), 0x5a, 4 * EFI_PAGE_SIZE);
        const fakefw::PageBlock *block = fw.memory().pages(addr);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(block->n_pages, 4u);
        EXPECT_EQ(block->type, EfiLoaderData);
        EXPECT_EQ(korvane::BS->FreePages(addr, 4), EFI_SUCCESS);

        // The range just freed is free again, so it can be asked for by address.
        EFI_PHYSICAL_ADDRESS again = addr;
        EXPECT_EQ(korvane::BS->AllocatePages(AllocateAddress, EfiLoaderData, 4, &again), EFI_SUCCESS);
        EXPECT_EQ(again, addr);
        EXPECT_EQ(korvane::BS->FreePages(again, 4), EFI_SUCCESS);
    }
    EFI_PHYSICAL_ADDRESS too_low = 2 * EFI_PAGE_SIZE - 1;
    EXPECT_EQ(korvane::BS->AllocatePages(AllocateMaxAddress, EfiLoaderData, 3, &too_low), EFI_NOT_FOUND);
}

TEST(FakefwMemory, CopyMemHandlesOverlapAndCounts) {
    Firmware fw;
    char buf[] = "abcdefgh";
    korvane::BS->CopyMem(buf + 2, buf, 5);
    EXPECT_STREQ(buf, "ababcdeh");
    korvane::BS->CopyMem(buf, buf + 1, 5);
    EXPECT_STREQ(buf, "babcddeh");
    korvane::BS->SetMem(buf, 3, 'x');
    EXPECT_STREQ(buf, "xxxcddeh");
    EXPECT_EQ(fw.calls(Service::CopyMem), 2u);
    EXPECT_EQ(fw.calls(Service::SetMem), 1u);
}

TEST(FakefwConsole, CursorAndAttributesFollowTheText) {
    Firmware fw;
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *out = korvane::ST->ConOut;
    out->OutputString(out, u"abc");
    EXPECT_EQ(out->Mode->CursorColumn, 3);
    out->SetAttribute(out, 0x1e);
    EXPECT_EQ(out->Mode->Attribute, 0x1e);
    out->OutputString(out, u"\rX");
    EXPECT_EQ(out->Mode->CursorColumn, 1);
    out->OutputString(out, u"\r\n");
    EXPECT_EQ(out->Mode->CursorColumn, 0);
    out->OutputString(out, u"d\u00e9");
    // A bare line feed keeps the column, as on a screen.
    out->OutputString(out, u"\nz");

    std::vector<fakefw::Line> lines = fw.console().lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, u"Xbc");
    EXPECT_EQ(lines[0].attributes, (std::vector<UINTN>{0x1e, 0x07, 0x07}));
    EXPECT_EQ(lines[1].utf8(), "d\xc3\xa9");
    EXPECT_EQ(lines[2].text, u"  z");
    EXPECT_EQ(fw.console().last_line().text, u"  z");
    EXPECT_EQ(fw.console().text(), "Xbc\nd\xc3\xa9\n  z");
    EXPECT_EQ(out->SetAttribute(out, 0x80), EFI_UNSUPPORTED);
    EXPECT_EQ(out->Mode->Attribute, 0x1e);
}

TEST(FakefwClock, StallsAddUpAndAMinuteLongStallHalts) {
    Firmware fw;
    korvane::ST->ConOut->OutputString(korvane::ST->ConOut, u"before");
    EXPECT_EQ(korvane::BS->Stall(59999999), EFI_SUCCESS);
    EXPECT_EQ(korvane::BS->Stall(1), EFI_SUCCESS);
    EXPECT_EQ(fw.clock().stalled_us(), 60000000u);
    EXPECT_EQ(fw.clock().stalls(), (std::vector<UINTN>{59999999, 1}));
    EXPECT_FALSE(fw.halted());
    try {
        korvane::BS->Stall(60000000);
        ADD_FAILURE() << "Stall(60 s) returned";
    } catch (const fakefw::Halted &h) {
        EXPECT_EQ(h.console_text, "before");
    }
    EXPECT_TRUE(fw.halted());
    EXPECT_EQ(fw.clock().stalled_us(), 60000000u);
    EXPECT_NONFATAL_FAILURE(fakefw::expect_halt([] {}), "expected the machine to halt");
}

TEST(FakefwHandles, ProtocolDatabase) {
    Firmware fw;
    static constexpr EFI_GUID GUID_A = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
    int a = 0, b = 0;
    void *found = &a;
    EXPECT_EQ(korvane::BS->LocateProtocol(&GUID_A, nullptr, &found), EFI_NOT_FOUND);
    EXPECT_EQ(found, nullptr);
    EFI_HANDLE first = fw.handles().install(nullptr, GUID_A, &a);
    EFI_HANDLE second = nullptr;
    EXPECT_EQ(korvane::BS->InstallProtocolInterface(&second, &GUID_A, EFI_NATIVE_INTERFACE, &b), EFI_SUCCESS);
    EXPECT_NE(second, first);
    EXPECT_EQ(korvane::BS->LocateProtocol(&GUID_A, nullptr, &found), EFI_SUCCESS);
    EXPECT_EQ(found, &a);
    EXPECT_EQ(korvane::BS->HandleProtocol(second, &GUID_A, &found), EFI_SUCCESS);
    EXPECT_EQ(found, &b);
    EXPECT_EQ(korvane::BS->HandleProtocol(second, &EFI_RNG_PROTOCOL_GUID, &found), EFI_UNSUPPORTED);
    EXPECT_EQ(korvane::BS->UninstallProtocolInterface(first, &GUID_A, &b), EFI_NOT_FOUND);
    EXPECT_EQ(korvane::BS->UninstallProtocolInterface(first, &GUID_A, &a), EFI_SUCCESS);
    EXPECT_FALSE(fw.handles().valid(first)) << "a handle without protocols is gone";
    EXPECT_EQ(korvane::BS->HandleProtocol(first, &GUID_A, &found), EFI_INVALID_PARAMETER);
    EXPECT_EQ(korvane::BS->LocateProtocol(&GUID_A, nullptr, &found), EFI_SUCCESS);
    EXPECT_EQ(found, &b);
}

TEST(FakefwHandles, MultipleInterfacesRefuseADevicePathThatIsTaken) {
    Firmware fw;
    static constexpr EFI_GUID GUID_A = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
    // A vendor media node (type 4, subtype 3) with a GUID, then the end node.
    uint8_t path[24] = {4, 3, 20, 0};
    memcpy(path + 4, &GUID_A, sizeof(GUID_A));
    uint8_t end[4] = {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0};
    memcpy(path + 20, end, sizeof(end));
    uint8_t same_path[24];
    memcpy(same_path, path, sizeof(path));
    int a = 0;

    EFI_HANDLE h = nullptr;
    EXPECT_EQ(
        korvane::BS->InstallMultipleProtocolInterfaces(&h, &EFI_DEVICE_PATH_PROTOCOL_GUID, path, &GUID_A, &a, nullptr),
        EFI_SUCCESS);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(fw.handles().find(h, GUID_A), &a);
    EFI_HANDLE other = nullptr;
    EXPECT_EQ(
        korvane::BS->InstallMultipleProtocolInterfaces(&other, &EFI_DEVICE_PATH_PROTOCOL_GUID, same_path, nullptr),
        EFI_ALREADY_STARTED);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(
        korvane::BS->UninstallMultipleProtocolInterfaces(h, &EFI_DEVICE_PATH_PROTOCOL_GUID, path, &GUID_A, &a, nullptr),
        EFI_SUCCESS);
    EXPECT_FALSE(fw.handles().valid(h));
    EXPECT_EQ(
        korvane::BS->InstallMultipleProtocolInterfaces(&other, &EFI_DEVICE_PATH_PROTOCOL_GUID, same_path, nullptr),
        EFI_SUCCESS);
}

TEST(FakefwConfigTables, EntriesAppearInTheSystemTable) {
    Firmware fw;
    static constexpr EFI_GUID GUID_A = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
    static constexpr EFI_GUID GUID_B = {0x55555555, 0x6666, 0x7777, {8, 8, 8, 8, 8, 8, 8, 8}};
    int a = 0, b = 0;
    fw.config_tables().add(GUID_A, &a);
    EXPECT_EQ(korvane::BS->InstallConfigurationTable(&GUID_B, &b), EFI_SUCCESS);
    ASSERT_EQ(korvane::ST->NumberOfTableEntries, 2u);
    EXPECT_TRUE(efi_guid_equal(korvane::ST->ConfigurationTable[1].VendorGuid, GUID_B));
    EXPECT_EQ(korvane::ST->ConfigurationTable[1].VendorTable, &b);
    EXPECT_EQ(korvane::BS->InstallConfigurationTable(&GUID_A, nullptr), EFI_SUCCESS);
    EXPECT_EQ(korvane::BS->InstallConfigurationTable(&GUID_A, nullptr), EFI_NOT_FOUND);
    ASSERT_EQ(korvane::ST->NumberOfTableEntries, 1u);
    EXPECT_EQ(korvane::ST->ConfigurationTable[0].VendorTable, &b);
}

TEST(FakefwRng, ScriptedBytesAndRecordedCalls) {
    Firmware fw;
    EFI_RNG_PROTOCOL *rng = nullptr;
    EXPECT_EQ(korvane::BS->LocateProtocol(&EFI_RNG_PROTOCOL_GUID, nullptr, reinterpret_cast<void **>(&rng)),
              EFI_NOT_FOUND);
    fw.rng().install();
    ASSERT_EQ(korvane::BS->LocateProtocol(&EFI_RNG_PROTOCOL_GUID, nullptr, reinterpret_cast<void **>(&rng)),
              EFI_SUCCESS);
    fw.rng().set_bytes({1, 2, 3});
    uint8_t out[3] = {};
    EFI_RNG_ALGORITHM algorithm = {0xa1a2a3a4, 0xb1b2, 0xc1c2, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(rng->GetRNG(rng, &algorithm, 2, out), EFI_SUCCESS);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[1], 2);
    EXPECT_NONFATAL_FAILURE(rng->GetRNG(rng, nullptr, 2, out), "only 1 scripted bytes remain");
    fw.fail(Service::RngGetRNG, EFI_DEVICE_ERROR);
    EXPECT_EQ(rng->GetRNG(rng, nullptr, 1, out), EFI_DEVICE_ERROR);
    const std::vector<fakefw::RngCall> &calls = fw.rng().calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].algorithm, &algorithm);
    ASSERT_TRUE(calls[0].algorithm_guid);
    EXPECT_TRUE(efi_guid_equal(*calls[0].algorithm_guid, algorithm));
    EXPECT_EQ(calls[0].length, 2u);
    EXPECT_EQ(calls[2].algorithm, nullptr);
    fw.rng().uninstall();
    EXPECT_EQ(korvane::BS->LocateProtocol(&EFI_RNG_PROTOCOL_GUID, nullptr, reinterpret_cast<void **>(&rng)),
              EFI_NOT_FOUND);
}

} // namespace
