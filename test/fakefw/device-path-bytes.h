// The bytes of a whole device path, for fakefw areas that keep or compare paths by content.
#pragma once

#include <cstdint>
#include <vector>

#include "boot/efi/device-path.h"

namespace fakefw {

// Up to and including the end node; empty for null or a path that never ends properly.
std::vector<uint8_t> device_path_bytes(const EFI_DEVICE_PATH_PROTOCOL *path);

} // namespace fakefw
