// GUID partition tables for tests, laid out byte by byte as UEFI specifies them: a primary
// header at LBA 1 with its entry array at LBA 2, and a backup entry array followed by the
// backup header near the end of the disk. The helpers change a finished image in place and
// reseal the checksums, so that a test can break exactly one rule of a header.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "boot/efi/device-path.h"
#include "boot/efi/gpt.h"

namespace testsupport {

using DiskBytes = std::vector<uint8_t>;

constexpr size_t GPT_BLOCK = 512;

// Bit by bit, as IEEE 802.3 defines it: reflected polynomial 0xEDB88320, preset and final ~0.
inline uint32_t reference_crc32(const void *data, size_t size) {
    uint32_t crc = 0xffffffff;
    const auto *p = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < size; i++) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc >> 1) ^ (0xedb88320 & (0u - (crc & 1)));
    }
    return ~crc;
}

struct GptEntrySpec {
    EFI_GUID type;
    EFI_GUID unique;
    uint64_t first_lba;
    uint64_t last_lba;
};

struct GptSpec {
    uint64_t blocks = 64;
    uint32_t entry_count = 4;
    uint32_t entry_size = sizeof(EFI_PARTITION_ENTRY);
    // Where the backup header goes; 0 puts it at the last block.
    uint64_t backup_lba = 0;
    // Entries by index; missing ones stay zero (unused).
    std::vector<GptEntrySpec> entries;
};

inline EFI_PARTITION_TABLE_HEADER *gpt_header(DiskBytes &disk, uint64_t lba) {
    return reinterpret_cast<EFI_PARTITION_TABLE_HEADER *>(disk.data() + lba * GPT_BLOCK);
}

inline uint64_t gpt_array_bytes(const EFI_PARTITION_TABLE_HEADER &h) {
    return uint64_t(h.NumberOfPartitionEntries) * h.SizeOfPartitionEntry;
}

// Recomputes the header's CRC over its HeaderSize bytes, the CRC field counted as zero.
inline void gpt_reseal_header(DiskBytes &disk, uint64_t lba) {
    EFI_PARTITION_TABLE_HEADER *h = gpt_header(disk, lba);
    h->Header.CRC32 = 0;
    h->Header.CRC32 = reference_crc32(h, h->Header.HeaderSize);
}

// Recomputes the entry array's CRC as the header describes the array, then the header's.
inline void gpt_reseal_entries(DiskBytes &disk, uint64_t lba) {
    EFI_PARTITION_TABLE_HEADER *h = gpt_header(disk, lba);
    h->PartitionEntryArrayCRC32 = reference_crc32(disk.data() + h->PartitionEntryLBA * GPT_BLOCK, gpt_array_bytes(*h));
    gpt_reseal_header(disk, lba);
}

inline uint64_t gpt_backup_lba(const GptSpec &spec) { return spec.backup_lba ? spec.backup_lba : spec.blocks - 1; }

inline DiskBytes build_gpt_disk(const GptSpec &spec) {
    DiskBytes disk(spec.blocks * GPT_BLOCK, 0);
    uint64_t array_bytes = uint64_t(spec.entry_count) * spec.entry_size;
    uint64_t array_blocks = (array_bytes + GPT_BLOCK - 1) / GPT_BLOCK;
    uint64_t backup = gpt_backup_lba(spec);
    uint64_t backup_array = backup - array_blocks;

    DiskBytes array(array_blocks * GPT_BLOCK, 0);
    for (size_t i = 0; i < spec.entries.size(); i++) {
        EFI_PARTITION_ENTRY e = {};
        e.PartitionTypeGUID = spec.entries[i].type;
        e.UniquePartitionGUID = spec.entries[i].unique;
        e.StartingLBA = spec.entries[i].first_lba;
        e.EndingLBA = spec.entries[i].last_lba;
        memcpy(array.data() + i * spec.entry_size, &e, sizeof(e));
    }
    memcpy(disk.data() + 2 * GPT_BLOCK, array.data(), array.size());
    memcpy(disk.data() + backup_array * GPT_BLOCK, array.data(), array.size());

    for (uint64_t lba : {uint64_t(1), backup}) {
        EFI_PARTITION_TABLE_HEADER *h = gpt_header(disk, lba);
        h->Header.Signature = 0x5452415020494645ULL; // "EFI PART"
        h->Header.Revision = 0x00010000;
        h->Header.HeaderSize = 92;
        h->MyLBA = lba;
        h->AlternateLBA = lba == 1 ? backup : 1;
        h->FirstUsableLBA = 2 + array_blocks;
        h->LastUsableLBA = backup_array - 1;
        h->DiskGUID = {0x0d15c0de, 0x1111, 0x2222, {0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa}};
        h->PartitionEntryLBA = lba == 1 ? 2 : backup_array;
        h->NumberOfPartitionEntries = spec.entry_count;
        h->SizeOfPartitionEntry = spec.entry_size;
        gpt_reseal_entries(disk, lba);
    }
    return disk;
}

// The hard-drive node UEFI prescribes for GPT partition `index` (0-based) of `entry`.
inline HARDDRIVE_DEVICE_PATH gpt_partition_node(const GptEntrySpec &entry, uint32_t index) {
    HARDDRIVE_DEVICE_PATH node = {};
    node.Header = {MEDIA_DEVICE_PATH, MEDIA_HARDDRIVE_DP, {42, 0}};
    node.PartitionNumber = index + 1;
    node.PartitionStart = entry.first_lba;
    node.PartitionSize = entry.last_lba - entry.first_lba + 1;
    memcpy(node.Signature, &entry.unique, 16);
    node.MBRType = 2;
    node.SignatureType = 2;
    return node;
}

} // namespace testsupport
