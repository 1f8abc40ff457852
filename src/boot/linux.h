// Starting the kernel through the firmware's image loader.
#pragma once

#include "efi/efi.h"
#include "util.h"

namespace korvane {

constexpr EFI_GUID KERNEL_PAYLOAD_VENDOR_GUID = {
    0x55c5d1f8, 0x04cd, 0x46b5, {0x8a, 0x20, 0xe5, 0x6c, 0xbb, 0x30, 0x52, 0xd0}};

// Identifies the one buffer the security override lets through: the kernel, under the
// payload device path object of this launch (compared by address).
struct PayloadIdentity {
    const void *kernel;
    size_t kernel_size;
    const EFI_DEVICE_PATH_PROTOCOL *device_path;
};

bool validate_payload(const void *context, const EFI_DEVICE_PATH_PROTOCOL *device_path, const void *file_buffer,
                      size_t file_size);

EFI_STATUS load_image(EFI_HANDLE parent, const void *source, size_t length, EFI_HANDLE *ret_image);

// Returns only when the kernel could not be started or came back. cmdline may be null;
// it becomes the kernel's load options without being copied.
EFI_STATUS linux_exec(EFI_HANDLE parent, const char16_t *cmdline, const iovec &kernel, const iovec &initrd);

} // namespace korvane
