// The device path of a file on a device: the device's own path, one file path node, the end.
#pragma once

#include "boot/util.h"

namespace korvane::vmtest {

// A new pool device path; EFI_NOT_FOUND when the device has no (well-formed) device path.
EFI_STATUS file_device_path(EFI_HANDLE device, const char16_t *path, PoolPtr<EFI_DEVICE_PATH_PROTOCOL> *ret);

} // namespace korvane::vmtest
