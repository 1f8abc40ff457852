// The file system of a GPT partition, found by its unique partition GUID, so that the launcher
// can start images from a partition other than its own.
#pragma once

#include "boot/efi/types.h"

namespace korvane::vmtest {

// The handle with a simple file system whose device path has a GPT hard-drive node with this
// signature (the GUID's 16 bytes as stored); EFI_NOT_FOUND when there is none.
EFI_STATUS find_partition_device(const uint8_t (&guid)[16], EFI_HANDLE *ret);

} // namespace korvane::vmtest
