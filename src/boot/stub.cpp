#include "stub.h"

#include "firmware.h"
#include "log.h"

namespace korvane {

EFI_STATUS run(EFI_HANDLE image) {
    (void)image;
    return EFI_SUCCESS;
}

} // namespace korvane

// Runs before and after the guard changes, so its frame is not checked against it.
extern "C" __attribute__((no_stack_protector)) EFI_STATUS EFIAPI stub_entry(EFI_HANDLE image,
                                                                          EFI_SYSTEM_TABLE *system_table) {
    korvane::firmware_init(system_table);
    korvane::stack_guard_init();
    EFI_STATUS status = korvane::run(image);
    korvane::log_stall();
    return status;
}
