// ST->ConfigurationTable: entries the test adds, and InstallConfigurationTable.
#pragma once

#include <vector>

#include "boot/efi/efi.h"

namespace fakefw {

class Firmware;

class ConfigTables {
public:
    explicit ConfigTables(Firmware &fw) : fw_(fw) {}
    ConfigTables(const ConfigTables &) = delete;
    ConfigTables &operator=(const ConfigTables &) = delete;

    // Adds the entry, or replaces the table of an entry with the same GUID.
    void add(const EFI_GUID &guid, void *table);
    // The table installed under `guid`, or null.
    void *find(const EFI_GUID &guid) const;
    size_t count() const { return entries_.size(); }

    // Firmware side, called through the boot services table.
    void bind(EFI_BOOT_SERVICES &bs);
    EFI_STATUS install(const EFI_GUID *guid, VOID *table);

private:
    EFI_CONFIGURATION_TABLE *entry(const EFI_GUID &guid);
    // The system table points into entries_; every change re-publishes it.
    void publish();

    Firmware &fw_;
    std::vector<EFI_CONFIGURATION_TABLE> entries_;
};

} // namespace fakefw
