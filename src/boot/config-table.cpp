#include "config-table.h"

#include "firmware.h"

namespace korvane {

const void *find_configuration_table(const EFI_GUID &guid) {
    for (UINTN i = 0; i < ST->NumberOfTableEntries; i++)
        if (efi_guid_equal(ST->ConfigurationTable[i].VendorGuid, guid))
            return ST->ConfigurationTable[i].VendorTable;
    return nullptr;
}

} // namespace korvane
