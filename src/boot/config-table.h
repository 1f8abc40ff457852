// Lookup in the firmware's configuration table.
#pragma once

#include "efi/efi.h"

namespace korvane {

// The table of the first entry with this GUID; null when there is none (or it is null).
const void *find_configuration_table(const EFI_GUID &guid);

} // namespace korvane
