// The boot stub: the image entry point and the boot sequence it runs.
#pragma once

#include "efi/efi.h"

namespace korvane {

EFI_STATUS run(EFI_HANDLE image);

} // namespace korvane

extern "C" EFI_STATUS EFIAPI stub_entry(EFI_HANDLE image, EFI_SYSTEM_TABLE *system_table);
