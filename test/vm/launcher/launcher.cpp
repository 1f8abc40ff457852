// The launcher: started by the firmware, it starts the images its list on the ESP names, one
// after the other, each through LoadImage from its file and StartImage, with the load options
// the list gives, as a boot manager would, and reports on the serial port what each call
// returned (report.h gives the line format). Then it ends the VM.
//
//   list-status              reading \launcher\images
//   image.N.entry-status     parsing line N (counted from 0, empty lines skipped)
//   image.N.path             the image's path
//   image.N.load-status      LoadImage's status
//   image.N.options-status   setting its load options, when that failed
//   image.N.start-status     StartImage's status, when the image was loaded (or the status of
//                            installing its shell parameters, when that failed)
//   image.N.variable-status  SetVariable's status, for a variable line
//   image.N.partition-status finding the partition's file system, for a partition line
//   image.N.timestamp-status publishing the start time table, for a timestamp line
#include "../debug-exit.h"
#include "../report.h"
#include "boot/efi/loaded-image.h"
#include "boot/efi/shell-parameters.h"
#include "boot/firmware.h"
#include "boot/log.h"
#include "esp-file.h"
#include "file-device-path.h"
#include "launch-list.h"
#include "partition-device.h"
#include "../start-time.h"

namespace korvane::vmtest {

namespace {

// The tests expect this value through isa-debug-exit after the last image returned.
constexpr uint8_t LAUNCHER_EXIT_VALUE = 0x4c;
constexpr const char16_t *LIST_PATH = u"\\launcher\\images";
constexpr size_t LIST_SIZE_MAX = 256 * 1024;
// The Boot Loader Interface's vendor of the "Loader" variables; written down here rather than
// taken from the stub, whose value is under test.
constexpr EFI_GUID LOADER_VENDOR = {0x4a67b082, 0x0a4c, 0x41cf, {0xb6, 0xc7, 0x44, 0x0b, 0x29, 0xbb, 0x8c, 0x4f}};

EFI_STATUS load(EFI_HANDLE launcher, EFI_HANDLE device, const char16_t *path, EFI_HANDLE *ret_image) {
    PoolPtr<EFI_DEVICE_PATH_PROTOCOL> dp;
    EFI_STATUS err = file_device_path(device, path, &dp);
    if (err != EFI_SUCCESS)
        return err;
    err = BS->LoadImage(false, launcher, dp.get(), nullptr, 0, ret_image);
    // Secure Boot refusals may come with a handle, which is of no use.
    if (err != EFI_SUCCESS && *ret_image) {
        BS->UnloadImage(*ret_image);
        *ret_image = nullptr;
    }
    return err;
}

EFI_STATUS set_load_options(EFI_HANDLE image, const LaunchEntry &entry) {
    if (!entry.options)
        return EFI_SUCCESS;
    EFI_LOADED_IMAGE_PROTOCOL *loaded_image = nullptr;
    EFI_STATUS err =
        BS->HandleProtocol(image, &EFI_LOADED_IMAGE_PROTOCOL_GUID, reinterpret_cast<void **>(&loaded_image));
    if (err != EFI_SUCCESS)
        return err;
    loaded_image->LoadOptions = entry.options.get();
    loaded_image->LoadOptionsSize = static_cast<UINT32>(entry.options_size);
    return EFI_SUCCESS;
}

// Shell parameters as a shell gives them to an image it starts: Argv[0] is the image's path.
struct ShellParameters {
    EFI_SHELL_PARAMETERS_PROTOCOL protocol = {};
    CHAR16 *argv[1 + SHELL_ARGS_MAX] = {};

    explicit ShellParameters(const LaunchEntry &entry) {
        argv[0] = entry.path.get();
        for (size_t i = 0; i < entry.n_shell_args; i++)
            argv[1 + i] = entry.shell_args[i].get();
        protocol.Argv = argv;
        protocol.Argc = 1 + entry.n_shell_args;
    }
};

// Set by a timestamp line: the table that receives the time of every StartImage after it.
StartTime *start_time = nullptr;

EFI_STATUS start_image(EFI_HANDLE image) {
    if (start_time)
        start_time->tsc = read_tsc();
    return BS->StartImage(image, nullptr, nullptr);
}

EFI_STATUS publish_start_time() {
    if (start_time)
        return EFI_SUCCESS;
    void *table = nullptr;
    EFI_STATUS err = BS->AllocatePool(EfiBootServicesData, sizeof(StartTime), &table);
    if (err != EFI_SUCCESS)
        return err;
    err = BS->InstallConfigurationTable(&START_TIME_TABLE_GUID, table);
    if (err != EFI_SUCCESS) {
        BS->FreePool(table);
        return err;
    }
    start_time = static_cast<StartTime *>(table);
    start_time->tsc = read_tsc();
    return EFI_SUCCESS;
}

EFI_STATUS start(EFI_HANDLE image, const LaunchEntry &entry) {
    if (!entry.shell)
        return start_image(image);
    ShellParameters params(entry);
    EFI_STATUS err = BS->InstallProtocolInterface(&image, &EFI_SHELL_PARAMETERS_PROTOCOL_GUID, EFI_NATIVE_INTERFACE,
                                                  &params.protocol);
    if (err != EFI_SUCCESS) {
        BS->UnloadImage(image);
        return err;
    }
    err = start_image(image);
    // The firmware unloaded the returned image but keeps its handle while this protocol is on it.
    BS->UninstallProtocolInterface(image, &EFI_SHELL_PARAMETERS_PROTOCOL_GUID, &params.protocol);
    return err;
}

void launch(Report &report, size_t index, EFI_HANDLE launcher, EFI_HANDLE device, const LaunchEntry &entry) {
    report.text(Key("image", index, "path").c_str(), entry.path.get(), str16_len(entry.path.get()));
    EFI_HANDLE image = nullptr;
    EFI_STATUS err = load(launcher, device, entry.path.get(), &image);
    report.status(Key("image", index, "load-status").c_str(), err);
    if (err != EFI_SUCCESS)
        return;
    err = set_load_options(image, entry);
    if (err != EFI_SUCCESS) {
        report.status(Key("image", index, "options-status").c_str(), err);
        BS->UnloadImage(image);
        return;
    }
    // An application's image is unloaded by the firmware when it returns.
    report.status(Key("image", index, "start-status").c_str(), start(image, entry));
}

// Volatile, and visible to the booted system, as a boot loader sets them.
EFI_STATUS set_variable(const LaunchEntry &entry) {
    constexpr UINT32 attributes = EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
    return RT->SetVariable(entry.path.get(), &LOADER_VENDOR, attributes, entry.options_size, entry.options.get());
}

// *device is where image paths are looked up; a partition line moves it (to none when the
// partition is not there).
void run_entry(Report &report, size_t index, EFI_HANDLE launcher, EFI_HANDLE *device, const LaunchEntry &entry) {
    switch (entry.kind) {
    case LaunchKind::Image:
        launch(report, index, launcher, *device, entry);
        return;
    case LaunchKind::Variable:
        report.status(Key("image", index, "variable-status").c_str(), set_variable(entry));
        return;
    case LaunchKind::Partition: {
        uint8_t guid[PARTITION_GUID_SIZE];
        memcpy(guid, entry.options.get(), sizeof(guid));
        EFI_STATUS err = find_partition_device(guid, device);
        report.status(Key("image", index, "partition-status").c_str(), err);
        // Images that were meant for the partition must not be found elsewhere.
        if (err != EFI_SUCCESS)
            *device = nullptr;
        return;
    }
    case LaunchKind::Timestamp:
        report.status(Key("image", index, "timestamp-status").c_str(), publish_start_time());
        return;
    }
}

void launch_all(EFI_HANDLE launcher) {
    Report report("LAUNCHER");
    EFI_LOADED_IMAGE_PROTOCOL *loaded_image = nullptr;
    EFI_STATUS err =
        BS->HandleProtocol(launcher, &EFI_LOADED_IMAGE_PROTOCOL_GUID, reinterpret_cast<void **>(&loaded_image));
    PoolPtr<uint8_t> list;
    size_t size = 0;
    if (err == EFI_SUCCESS)
        err = read_device_file(loaded_image->DeviceHandle, LIST_PATH, LIST_SIZE_MAX, &list, &size);
    report.status("list-status", err);

    size_t offset = 0, index = 0;
    EFI_HANDLE device = err == EFI_SUCCESS ? loaded_image->DeviceHandle : nullptr;
    LaunchEntry entry;
    EFI_STATUS entry_status = EFI_SUCCESS;
    while (err == EFI_SUCCESS && next_launch_entry(list.get(), size, &offset, &entry, &entry_status)) {
        report.status(Key("image", index, "entry-status").c_str(), entry_status);
        if (entry_status == EFI_SUCCESS)
            run_entry(report, index, launcher, &device, entry);
        index++;
    }
    report.end();
}

} // namespace

} // namespace korvane::vmtest

// Runs before and after the guard changes, so its frame is not checked against it.
extern "C" __attribute__((no_stack_protector)) EFI_STATUS EFIAPI launcher_entry(EFI_HANDLE image,
                                                                              EFI_SYSTEM_TABLE *system_table) {
    korvane::firmware_init(system_table);
    korvane::stack_guard_init();
    korvane::vmtest::launch_all(image);
    korvane::vmtest::debug_exit(korvane::vmtest::LAUNCHER_EXIT_VALUE);
}
