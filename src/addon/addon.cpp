// The base image of an add-on: it exists to carry payload sections for the boot stub,
// which reads them without running this code. Started on its own, it says so and fails.
#include "boot/firmware.h"
#include "boot/log.h"

extern "C" EFI_STATUS EFIAPI addon_entry(EFI_HANDLE, EFI_SYSTEM_TABLE *system_table) {
    korvane::firmware_init(system_table);
    EFI_STATUS status = log_error(EFI_UNSUPPORTED, "This is a korvane-boot add-on; it cannot be started: %m");
    korvane::log_stall();
    return status;
}
