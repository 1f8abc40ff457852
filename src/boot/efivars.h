// Firmware variables. Everything the stub writes is volatile and visible to the OS.
#pragma once

#include "efi/efi.h"

namespace korvane {

// The vendor of every "Loader…" and "Stub…" variable.
constexpr EFI_GUID LOADER_VENDOR_GUID = {
    0x4a67b082, 0x0a4c, 0x41cf, {0xb6, 0xc7, 0x44, 0x0b, 0x29, 0xbb, 0x8c, 0x4f}};

constexpr UINT32 STUB_VARIABLE_ATTRIBUTES = EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;

// A null value deletes the variable.
EFI_STATUS variable_set_string(const EFI_GUID &vendor, const char16_t *name, const char16_t *value);
EFI_STATUS variable_set_decimal(const EFI_GUID &vendor, const char16_t *name, uint64_t value);
EFI_STATUS variable_set_u64(const EFI_GUID &vendor, const char16_t *name, uint64_t value);

// On success *ret_data (if asked for) is a new pool buffer, null for an empty variable.
EFI_STATUS variable_get_raw(const EFI_GUID &vendor, const char16_t *name, void **ret_data, size_t *ret_size);

} // namespace korvane
