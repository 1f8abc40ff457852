// Secure Boot state, and the override that lets exactly one validated image through the
// firmware's authentication hooks for the duration of one LoadImage call.
#pragma once

#include "efi/efi.h"

namespace korvane {

bool secure_boot_active();

// Decides whether an image may skip the firmware's verification. file_buffer is null
// when the firmware's hook identifies the image by device path alone.
typedef bool (*SecurityValidator)(const void *validator_data, const EFI_DEVICE_PATH_PROTOCOL *device_path,
                                  const void *file_buffer, size_t file_size);

// Accepts what shim's lock protocol verifies, reading the file named by the device path
// when the firmware's hook passes no buffer.
bool validate_with_shim(const void *validator_data, const EFI_DEVICE_PATH_PROTOCOL *device_path,
                        const void *file_buffer, size_t file_size);

void override_security_hooks(SecurityValidator validator, const void *validator_data);
// Writes back the hooks saved by the last override; harmless when nothing is installed.
void restore_security_hooks();

} // namespace korvane
