// Whole files from the file system the launcher itself was loaded from.
#pragma once

#include "boot/util.h"

namespace korvane::vmtest {

// The file at path (e.g. u"\\launcher\\images") on the device's file system; at most
// max_size bytes (EFI_BAD_BUFFER_SIZE beyond). *ret_data is a new pool buffer.
EFI_STATUS read_device_file(EFI_HANDLE device, const char16_t *path, size_t max_size, PoolPtr<uint8_t> *ret_data,
                            size_t *ret_size);

} // namespace korvane::vmtest
