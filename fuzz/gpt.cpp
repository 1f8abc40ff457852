// The ESP found on a fuzzed disk: GPT headers, entry arrays and the three copies (LBA 1, the
// alternate LBA, the last block). The fake partition driver makes a partition for every ESP
// entry of every copy that looks like a table; a partition found must be one of those.
#include "support.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "boot/device-path-util.h"
#include "boot/efi/gpt.h"
#include "boot/part-discovery.h"
#include "boot/util.h"
#include "support/gpt-builder.h"

namespace {

constexpr size_t BLOCK = 512;
constexpr size_t MAX_PARTITIONS = 16;

// The hard-drive nodes of the ESP entries of the copy at `lba`, as a partition driver would
// make them; nothing when that block is no table header.
void esp_nodes(const fuzz::Bytes &disk, uint64_t lba, std::vector<HARDDRIVE_DEVICE_PATH> *nodes) {
    if (lba >= disk.size() / BLOCK)
        return;
    EFI_PARTITION_TABLE_HEADER h;
    memcpy(&h, disk.data() + lba * BLOCK, sizeof(h));
    if (h.Header.Signature != EFI_PTAB_HEADER_ID || h.SizeOfPartitionEntry < sizeof(EFI_PARTITION_ENTRY) ||
        h.PartitionEntryLBA >= disk.size() / BLOCK)
        return;
    uint64_t at = h.PartitionEntryLBA * BLOCK;
    for (uint32_t i = 0; i < h.NumberOfPartitionEntries && nodes->size() < MAX_PARTITIONS; i++) {
        uint64_t e_at = at + uint64_t(i) * h.SizeOfPartitionEntry;
        if (e_at + sizeof(EFI_PARTITION_ENTRY) > disk.size())
            return;
        EFI_PARTITION_ENTRY e;
        memcpy(&e, disk.data() + e_at, sizeof(e));
        if (memcmp(&e.PartitionTypeGUID, &korvane::ESP_PARTITION_TYPE_GUID, 16) != 0)
            continue;
        testsupport::GptEntrySpec spec{e.PartitionTypeGUID, e.UniquePartitionGUID, e.StartingLBA, e.EndingLBA};
        nodes->push_back(testsupport::gpt_partition_node(spec, i));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t flags = in.byte();
    fuzz::Bytes disk = in.rest();
    disk.resize(std::max<size_t>((disk.size() + BLOCK - 1) / BLOCK, 3) * BLOCK);
    uint64_t last = disk.size() / BLOCK - 1;

    std::vector<HARDDRIVE_DEVICE_PATH> nodes;
    esp_nodes(disk, 1, &nodes);
    uint64_t alternate;
    memcpy(&alternate, disk.data() + BLOCK + offsetof(EFI_PARTITION_TABLE_HEADER, AlternateLBA), 8);
    esp_nodes(disk, alternate, &nodes);
    esp_nodes(disk, last, &nodes);

    fuzz::with_firmware([&](fakefw::Firmware &fw) {
        fakefw::Disk &d = fw.block_devices().add_disk(disk);
        if (flags & 1)
            d.fail_read(1, EFI_DEVICE_ERROR);
        std::set<fuzz::Bytes> made;
        for (const HARDDRIVE_DEVICE_PATH &node : nodes) {
            fuzz::Bytes path = d.partition_path(node);
            if (made.insert(path).second)
                d.add_partition(node);
        }
        // The image was loaded from some partition of this disk.
        HARDDRIVE_DEVICE_PATH own = {};
        own.Header = {MEDIA_DEVICE_PATH, MEDIA_HARDDRIVE_DP, {42, 0}};
        own.PartitionNumber = 99;
        fuzz::Bytes own_path = d.partition_path(own);
        EFI_HANDLE device = fw.handles().install(nullptr, EFI_DEVICE_PATH_PROTOCOL_GUID, own_path.data());

        EFI_HANDLE esp = korvane::partition_open(korvane::ESP_PARTITION_TYPE_GUID, device);
        if (esp) {
            const auto &made_handles = d.partition_handles();
            FUZZ_CHECK(std::find(made_handles.begin(), made_handles.end(), esp) != made_handles.end());
            korvane::PoolPtr<char16_t> uuid(korvane::device_partition_uuid(esp));
            FUZZ_CHECK(uuid);
        }
    });
    return 0;
}
