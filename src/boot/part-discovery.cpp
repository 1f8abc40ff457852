#include "part-discovery.h"

#include "device-path-util.h"
#include "efi-string.h"
#include "efi/gpt.h"
#include "firmware.h"
#include "util.h"

namespace korvane {

namespace {

constexpr size_t GPT_HEADER_READ_SIZE = 512;
constexpr UINT32 GPT_HEADER_SIZE_MAX = 512;
constexpr UINT32 GPT_ENTRY_SIZE_UNIT = 128;
constexpr UINT32 GPT_ENTRIES_MAX = 1024;
constexpr size_t GPT_ARRAY_READ_UNIT = 512;
constexpr UINT16 HARDDRIVE_NODE_LENGTH = sizeof(HARDDRIVE_DEVICE_PATH);

bool is_harddrive_node(const EFI_DEVICE_PATH_PROTOCOL *node) {
    return node->Type == MEDIA_DEVICE_PATH && node->SubType == MEDIA_HARDDRIVE_DP &&
           device_path_node_length(node) >= HARDDRIVE_NODE_LENGTH;
}

// The last hard-drive node of `path`, or null; a short node ends the walk with null.
const EFI_DEVICE_PATH_PROTOCOL *last_harddrive_node(const EFI_DEVICE_PATH_PROTOCOL *path) {
    const EFI_DEVICE_PATH_PROTOCOL *found = nullptr;
    for (const EFI_DEVICE_PATH_PROTOCOL *node = path; !device_path_is_end(node); node = device_path_next_node(node)) {
        if (device_path_node_is_short(node))
            return nullptr;
        if (is_harddrive_node(node))
            found = node;
    }
    return found;
}

bool crc32_matches(const void *data, size_t size, UINT32 expected) {
    UINT32 crc = 0;
    return BS->CalculateCrc32(data, size, &crc) == EFI_SUCCESS && crc == expected;
}

// The header checks; `header` is the whole 512-byte block, its CRC field zeroed on the way.
bool header_valid(EFI_PARTITION_TABLE_HEADER *header, EFI_LBA lba) {
    if (header->Header.Signature != EFI_PTAB_HEADER_ID || header->Header.Revision != EFI_GPT_REVISION_1_0)
        return false;
    if (header->Header.HeaderSize < EFI_PARTITION_TABLE_HEADER_SIZE || header->Header.HeaderSize > GPT_HEADER_SIZE_MAX)
        return false;
    UINT32 stored_crc = header->Header.CRC32;
    header->Header.CRC32 = 0;
    if (!crc32_matches(header, header->Header.HeaderSize, stored_crc))
        return false;
    // Entries shorter than one entry structure would be read beyond the array.
    if (header->SizeOfPartitionEntry == 0 || header->SizeOfPartitionEntry % GPT_ENTRY_SIZE_UNIT != 0)
        return false;
    return header->MyLBA == lba && header->NumberOfPartitionEntries >= 1 &&
           header->NumberOfPartitionEntries <= GPT_ENTRIES_MAX;
}

HARDDRIVE_DEVICE_PATH harddrive_node(const EFI_PARTITION_ENTRY &entry, UINT32 index) {
    HARDDRIVE_DEVICE_PATH node = {};
    node.Header = {MEDIA_DEVICE_PATH, MEDIA_HARDDRIVE_DP, {uint8_t(HARDDRIVE_NODE_LENGTH), 0}};
    node.PartitionNumber = index + 1;
    node.PartitionStart = entry.StartingLBA;
    node.PartitionSize = entry.EndingLBA - entry.StartingLBA + 1;
    memcpy(node.Signature, &entry.UniquePartitionGUID, sizeof(node.Signature));
    node.MBRType = MBR_TYPE_EFI_PARTITION_TABLE_HEADER;
    node.SignatureType = SIGNATURE_TYPE_GUID;
    return node;
}

// The array's size comes from the disk: a table demanding more memory than the firmware has
// is a copy we cannot read, not a reason to halt the machine.
EFI_STATUS allocate_entry_array(size_t size, void **ret) {
    return BS->AllocatePool(EfiLoaderData, size, ret);
}

EFI_STATUS scan_entries(const EFI_GUID &type, EFI_BLOCK_IO_PROTOCOL *block_io,
                        const EFI_PARTITION_TABLE_HEADER &header, HARDDRIVE_DEVICE_PATH *ret_node) {
    size_t array_size = size_t(header.NumberOfPartitionEntries) * header.SizeOfPartitionEntry;
    size_t read_size = array_size;
    if (read_size % GPT_ARRAY_READ_UNIT != 0)
        read_size += GPT_ARRAY_READ_UNIT - read_size % GPT_ARRAY_READ_UNIT;
    // An array that runs off the medium cannot be read: no need to find room for it first.
    const EFI_BLOCK_IO_MEDIA &media = *block_io->Media;
    uint64_t block_size = media.BlockSize != 0 ? media.BlockSize : GPT_ARRAY_READ_UNIT;
    if (header.PartitionEntryLBA > media.LastBlock ||
        (read_size + block_size - 1) / block_size > media.LastBlock - header.PartitionEntryLBA + 1)
        return EFI_INVALID_PARAMETER;
    PoolPtr<uint8_t> entries;
    EFI_STATUS err = allocate_entry_array(read_size, reinterpret_cast<void **>(entries.out()));
    if (err != EFI_SUCCESS)
        return err;
    err = block_io->ReadBlocks(block_io, block_io->Media->MediaId, header.PartitionEntryLBA, read_size, entries.get());
    if (err != EFI_SUCCESS)
        return err;
    if (!crc32_matches(entries.get(), array_size, header.PartitionEntryArrayCRC32))
        return EFI_CRC_ERROR;

    for (UINT32 i = 0; i < header.NumberOfPartitionEntries; i++) {
        const auto *entry =
            reinterpret_cast<const EFI_PARTITION_ENTRY *>(entries.get() + size_t(i) * header.SizeOfPartitionEntry);
        if (!efi_guid_equal(entry->PartitionTypeGUID, type) || entry->EndingLBA < entry->StartingLBA)
            continue;
        *ret_node = harddrive_node(*entry, i);
        return EFI_SUCCESS;
    }
    return EFI_NOT_FOUND;
}

// The handle whose device path is all of `path` and that carries block I/O, or null.
EFI_HANDLE locate_block_io_handle(const EFI_DEVICE_PATH_PROTOCOL *path) {
    auto *remaining = const_cast<EFI_DEVICE_PATH_PROTOCOL *>(path);
    EFI_HANDLE handle = nullptr;
    if (BS->LocateDevicePath(&EFI_BLOCK_IO_PROTOCOL_GUID, &remaining, &handle) != EFI_SUCCESS)
        return nullptr;
    // A shorter match is some device above the one asked for.
    return device_path_is_end(remaining) ? handle : nullptr;
}

EFI_STATUS find_in_copies(const EFI_GUID &type, EFI_BLOCK_IO_PROTOCOL *block_io, HARDDRIVE_DEVICE_PATH *ret_node) {
    EFI_LBA backup_lba = 0;
    EFI_STATUS err = try_gpt(type, block_io, 1, &backup_lba, ret_node);
    if (err == EFI_SUCCESS || err == EFI_NOT_FOUND)
        return err;
    if (backup_lba != 0) {
        err = try_gpt(type, block_io, backup_lba, nullptr, ret_node);
        if (err == EFI_SUCCESS || err == EFI_NOT_FOUND)
            return err;
    }
    if (block_io->Media->LastBlock == backup_lba)
        return err;
    err = try_gpt(type, block_io, block_io->Media->LastBlock, nullptr, ret_node);
    return err == EFI_SUCCESS ? EFI_SUCCESS : EFI_NOT_FOUND;
}

} // namespace

EFI_STATUS try_gpt(const EFI_GUID &type, EFI_BLOCK_IO_PROTOCOL *block_io, EFI_LBA lba, EFI_LBA *ret_backup_lba,
                   HARDDRIVE_DEVICE_PATH *ret_node) {
    ASSERT(block_io);
    ASSERT(ret_node);
    union {
        EFI_PARTITION_TABLE_HEADER header;
        uint8_t bytes[GPT_HEADER_READ_SIZE];
    } block = {};
    EFI_STATUS err = block_io->ReadBlocks(block_io, block_io->Media->MediaId, lba, sizeof(block), &block);
    if (err != EFI_SUCCESS)
        return err;
    if (ret_backup_lba)
        *ret_backup_lba = block.header.AlternateLBA;
    if (!header_valid(&block.header, lba))
        return EFI_NOT_FOUND;
    return scan_entries(type, block_io, block.header, ret_node);
}

EFI_HANDLE partition_open(const EFI_GUID &type, EFI_HANDLE device) {
    ASSERT(device);
    EFI_DEVICE_PATH_PROTOCOL *path = nullptr;
    if (BS->HandleProtocol(device, &EFI_DEVICE_PATH_PROTOCOL_GUID, reinterpret_cast<void **>(&path)) != EFI_SUCCESS ||
        !path)
        return nullptr;
    const EFI_DEVICE_PATH_PROTOCOL *part_node = last_harddrive_node(path);
    if (!part_node)
        return nullptr;

    PoolPtr<EFI_DEVICE_PATH_PROTOCOL> disk_path(device_path_replace_node(path, part_node, nullptr));
    auto *remaining = disk_path.get();
    EFI_HANDLE disk = nullptr;
    if (BS->LocateDevicePath(&EFI_BLOCK_IO_PROTOCOL_GUID, &remaining, &disk) != EFI_SUCCESS)
        return nullptr;
    (void) BS->ConnectController(disk, nullptr, nullptr, true);
    EFI_BLOCK_IO_PROTOCOL *block_io = nullptr;
    if (BS->HandleProtocol(disk, &EFI_BLOCK_IO_PROTOCOL_GUID, reinterpret_cast<void **>(&block_io)) != EFI_SUCCESS ||
        !block_io || !block_io->Media)
        return nullptr;
    const EFI_BLOCK_IO_MEDIA &media = *block_io->Media;
    if (media.LogicalPartition || !media.MediaPresent || media.LastBlock <= 1)
        return nullptr;

    HARDDRIVE_DEVICE_PATH node;
    if (find_in_copies(type, block_io, &node) != EFI_SUCCESS)
        return nullptr;
    PoolPtr<EFI_DEVICE_PATH_PROTOCOL> part_path(
        device_path_replace_node(path, part_node, reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(&node)));
    return locate_block_io_handle(part_path.get());
}

char16_t *device_partition_uuid(EFI_HANDLE handle) {
    if (!handle)
        return nullptr;
    EFI_DEVICE_PATH_PROTOCOL *path = nullptr;
    if (BS->HandleProtocol(handle, &EFI_DEVICE_PATH_PROTOCOL_GUID, reinterpret_cast<void **>(&path)) != EFI_SUCCESS ||
        !path)
        return nullptr;
    for (const EFI_DEVICE_PATH_PROTOCOL *node = path; !device_path_is_end(node); node = device_path_next_node(node)) {
        if (device_path_node_is_short(node))
            return nullptr;
        if (!is_harddrive_node(node))
            continue;
        HARDDRIVE_DEVICE_PATH hd;
        memcpy(&hd, node, sizeof(hd));
        if (hd.SignatureType != SIGNATURE_TYPE_GUID)
            continue;
        const uint8_t *g = hd.Signature;
        UINT32 data1 = g[0] | UINT32(g[1]) << 8 | UINT32(g[2]) << 16 | UINT32(g[3]) << 24;
        return xformat("%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", data1, unsigned(g[4] | g[5] << 8),
                       unsigned(g[6] | g[7] << 8), g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    }
    return nullptr;
}

} // namespace korvane
