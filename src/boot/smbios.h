// Read-only access to the firmware's SMBIOS structure table (2.x and 3.x entry points): the
// first structure of a type, its numbered strings, OEM strings, and the machine's identity.
// Everything returned points into the firmware's table; nothing is allocated.
#pragma once

#include "efi/efi.h"

namespace korvane {

// The header that opens the formatted area of every structure.
struct [[gnu::packed]] SmbiosHeader {
    uint8_t type;
    uint8_t length; // of the formatted area, header included
    uint16_t handle;
};
static_assert(sizeof(SmbiosHeader) == 4);

constexpr uint8_t SMBIOS_TYPE_SYSTEM_INFORMATION = 1;
constexpr uint8_t SMBIOS_TYPE_BASEBOARD_INFORMATION = 2;
constexpr uint8_t SMBIOS_TYPE_OEM_STRINGS = 11;
constexpr uint8_t SMBIOS_TYPE_END_OF_TABLE = 127;

// The identity strings hardware IDs are made of; each null when its structure or string is missing.
struct SmbiosIdentityCache {
    const char *manufacturer;
    const char *product_name;
    const char *product_sku;
    const char *family;
    const char *baseboard_manufacturer;
    const char *baseboard_product;
    bool filled;
};

// Filled on the first smbios_identity_get and kept for the whole boot; zeroed, it is filled again.
extern SmbiosIdentityCache smbios_identity_cache;

// The first structure of `type`, when its formatted area has at least `min_length` bytes; the walk
// never looks past the first structure of that type. `ret_left` gets the bytes from the structure
// to the end of the table (0 on failure).
const SmbiosHeader *smbios_find_structure(uint8_t type, size_t min_length, size_t *ret_left);

// String `number` (from 1) of a structure, where `left` is as returned with it; null when absent.
const char *smbios_get_string(const SmbiosHeader *header, uint8_t number, size_t left);

// The value of the first OEM string of the form key "=" value; null when there is none.
const char *smbios_find_oem_string(const char *key);

const SmbiosIdentityCache *smbios_identity_get();

} // namespace korvane
