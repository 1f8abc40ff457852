// The benchmark's stand-in for a kernel: it reads the time stamp counter first thing, then
// reports how far it is from the one the launcher read before it started the image in front
// (start-time.h), what command line it got and how large an initrd it is offered, and ends the
// run. Under QEMU's -icount the difference counts the instructions of the boot path in between.
#include "../../test/vm/debug-exit.h"
#include "../../test/vm/report.h"
#include "../../test/vm/start-time.h"
#include "boot/efi/device-path.h"
#include "boot/efi/load-file.h"
#include "boot/efi/loaded-image.h"
#include "boot/firmware.h"

namespace korvane::bench {

namespace {

constexpr uint8_t PAYLOAD_EXIT_VALUE = 0x42;

// The Linux initrd media device path, which the kernel asks for its initrd.
struct [[gnu::packed]] InitrdDevicePath {
    uint8_t type = 4, subtype = 3;
    uint16_t length = 20;
    EFI_GUID guid = {0x5568e427, 0x68fc, 0x4f3d, {0xac, 0x74, 0xca, 0x55, 0x52, 0x31, 0xcc, 0x68}};
    uint8_t end_type = 0x7f, end_subtype = 0xff;
    uint16_t end_length = 4;
};

const vmtest::StartTime *find_start_time() {
    for (UINTN i = 0; i < ST->NumberOfTableEntries; i++)
        if (efi_guid_equal(ST->ConfigurationTable[i].VendorGuid, vmtest::START_TIME_TABLE_GUID))
            return static_cast<const vmtest::StartTime *>(ST->ConfigurationTable[i].VendorTable);
    return nullptr;
}

// What LoadFile2 on the initrd media path says the initrd's size is: the first of the kernel's
// two calls. 0 when there is no provider.
uint64_t offered_initrd_size() {
    InitrdDevicePath path;
    auto *dp = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(&path);
    EFI_HANDLE handle = nullptr;
    if (BS->LocateDevicePath(&EFI_LOAD_FILE2_PROTOCOL_GUID, &dp, &handle) != EFI_SUCCESS)
        return 0;
    EFI_LOAD_FILE2_PROTOCOL *load_file = nullptr;
    if (BS->HandleProtocol(handle, &EFI_LOAD_FILE2_PROTOCOL_GUID, reinterpret_cast<void **>(&load_file)) !=
        EFI_SUCCESS)
        return 0;
    UINTN size = 0;
    EFI_STATUS err = load_file->LoadFile(load_file, dp, false, &size, nullptr);
    return err == EFI_BUFFER_TOO_SMALL ? size : 0;
}

void report_boot(EFI_HANDLE image, uint64_t entry_tsc) {
    vmtest::Report report("BENCH");
    const vmtest::StartTime *start = find_start_time();
    report.flag("start-time", start != nullptr);
    if (start) {
        report.number("start-tsc", start->tsc);
        report.number("entry-tsc", entry_tsc);
        report.number("cycles", entry_tsc - start->tsc);
    }
    EFI_LOADED_IMAGE_PROTOCOL *loaded_image = nullptr;
    if (BS->HandleProtocol(image, &EFI_LOADED_IMAGE_PROTOCOL_GUID, reinterpret_cast<void **>(&loaded_image)) ==
            EFI_SUCCESS &&
        loaded_image->LoadOptions)
        report.text("load-options", static_cast<const char16_t *>(loaded_image->LoadOptions),
                    loaded_image->LoadOptionsSize / sizeof(char16_t));
    report.number("initrd-size", offered_initrd_size());
    report.end();
}

} // namespace

} // namespace korvane::bench

extern "C" __attribute__((no_stack_protector)) EFI_STATUS EFIAPI bench_payload_entry(EFI_HANDLE image,
                                                                                   EFI_SYSTEM_TABLE *system_table) {
    uint64_t entry_tsc = korvane::vmtest::read_tsc();
    korvane::firmware_init(system_table);
    korvane::bench::report_boot(image, entry_tsc);
    korvane::vmtest::debug_exit(korvane::bench::PAYLOAD_EXIT_VALUE);
}
