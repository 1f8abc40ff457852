#include "fakefw/config-table.h"

#include "fakefw/trampoline.h"

namespace fakefw {

namespace {

EFI_STATUS install_configuration_table(const EFI_GUID *guid, VOID *table) {
    return Firmware::active().config_tables().install(guid, table);
}

} // namespace

void ConfigTables::add(const EFI_GUID &guid, void *table) {
    if (EFI_CONFIGURATION_TABLE *e = entry(guid))
        e->VendorTable = table;
    else
        entries_.push_back(EFI_CONFIGURATION_TABLE{guid, table});
    publish();
}

void *ConfigTables::find(const EFI_GUID &guid) const {
    for (const EFI_CONFIGURATION_TABLE &e : entries_)
        if (efi_guid_equal(e.VendorGuid, guid))
            return e.VendorTable;
    return nullptr;
}

void ConfigTables::bind(EFI_BOOT_SERVICES &bs) {
    bs.InstallConfigurationTable = Entry<Service::InstallConfigurationTable, install_configuration_table>::call;
}

// Adds, replaces, or with a null table removes the entry.
EFI_STATUS ConfigTables::install(const EFI_GUID *guid, VOID *table) {
    if (!guid)
        return EFI_INVALID_PARAMETER;
    if (table) {
        add(*guid, table);
        return EFI_SUCCESS;
    }
    EFI_CONFIGURATION_TABLE *e = entry(*guid);
    if (!e)
        return EFI_NOT_FOUND;
    entries_.erase(entries_.begin() + (e - entries_.data()));
    publish();
    return EFI_SUCCESS;
}

EFI_CONFIGURATION_TABLE *ConfigTables::entry(const EFI_GUID &guid) {
    for (EFI_CONFIGURATION_TABLE &e : entries_)
        if (efi_guid_equal(e.VendorGuid, guid))
            return &e;
    return nullptr;
}

void ConfigTables::publish() {
    EFI_SYSTEM_TABLE *st = fw_.system_table();
    st->NumberOfTableEntries = entries_.size();
    st->ConfigurationTable = entries_.empty() ? nullptr : entries_.data();
}

} // namespace fakefw
