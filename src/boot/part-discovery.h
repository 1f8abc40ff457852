// Finding a partition of a given type on the disk the image was loaded from, by reading the
// disk's GUID partition table ourselves, and the unique GUID of the partition of a device.
// Nothing here logs: a missing partition only means that its users skip their work.
#pragma once

#include "efi/block-io.h"
#include "efi/efi.h"

namespace korvane {

constexpr EFI_GUID ESP_PARTITION_TYPE_GUID = {
    0xc12a7328, 0xf81f, 0x11d2, {0xba, 0x4b, 0x00, 0xa0, 0xc9, 0x3e, 0xc9, 0x3b}};

// The handle of the first partition of `type` on the disk that holds `device` (a partition
// handle), or null. Tries the table at LBA 1, then at its alternate LBA, then at the last block.
[[nodiscard]] EFI_HANDLE partition_open(const EFI_GUID &type, EFI_HANDLE device);

// Reads the table whose header is at `lba`. On success `*ret_node` is the hard-drive node of
// the first entry of `type`. `*ret_backup_lba` (when asked for) gets the header's AlternateLBA
// as soon as the header is read, whether or not it is valid. A read error is returned as is;
// an invalid header or a table without the type gives EFI_NOT_FOUND; an entry array that
// cannot be allocated gives EFI_OUT_OF_RESOURCES; one that fails its checksum EFI_CRC_ERROR.
EFI_STATUS try_gpt(const EFI_GUID &type, EFI_BLOCK_IO_PROTOCOL *block_io, EFI_LBA lba, EFI_LBA *ret_backup_lba,
                   HARDDRIVE_DEVICE_PATH *ret_node);

// New text "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" (upper case) of the GPT partition GUID of
// the first GPT hard-drive node of `handle`'s device path; null when there is none.
[[nodiscard]] char16_t *device_partition_uuid(EFI_HANDLE handle);

} // namespace korvane
