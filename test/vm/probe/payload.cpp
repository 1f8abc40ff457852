// The unsigned image the probe tries to load: it only has to be a valid EFI application.
#include "boot/efi/efi.h"

extern "C" EFI_STATUS EFIAPI payload_entry(EFI_HANDLE image, EFI_SYSTEM_TABLE *system_table) {
    (void)image;
    (void)system_table;
    return EFI_SUCCESS;
}
