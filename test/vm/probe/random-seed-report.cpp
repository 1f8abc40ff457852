#include "random-seed-report.h"

#include "boot/efi/rng.h"
#include "boot/firmware.h"
#include "guids.h"
#include "memory-map.h"

namespace korvane::vmtest {

namespace {

// What a kernel would accept; a larger size field is reported but not dumped beyond this.
constexpr uint32_t SEED_DUMP_MAX = 1024;

struct SeedTable {
    uint32_t size;
    uint8_t seed[];
};
static_assert(sizeof(SeedTable) == 4);

const SeedTable *find_seed_table() {
    for (UINTN i = 0; i < ST->NumberOfTableEntries; i++) {
        const EFI_CONFIGURATION_TABLE &entry = ST->ConfigurationTable[i];
        if (efi_guid_equal(entry.VendorGuid, LINUX_EFI_RANDOM_SEED_TABLE) && entry.VendorTable)
            return static_cast<const SeedTable *>(entry.VendorTable);
    }
    return nullptr;
}

} // namespace

void report_random_seed(Report &report) {
    void *rng = nullptr;
    report.flag("random-seed.rng-protocol",
                BS->LocateProtocol(&EFI_RNG_PROTOCOL_GUID, nullptr, &rng) == EFI_SUCCESS && rng);
    const SeedTable *table = find_seed_table();
    report.flag("random-seed.present", table != nullptr);
    if (!table)
        return;
    report.number("random-seed.size", table->size);
    report.bytes("random-seed.seed", table->seed, table->size < SEED_DUMP_MAX ? table->size : SEED_DUMP_MAX);
    uint32_t type = 0;
    if (memory_type_of(table, &type))
        report.number("random-seed.memory-type", type);
}

} // namespace korvane::vmtest
