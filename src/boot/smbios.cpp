#include "smbios.h"

#include "config-table.h"
#include "efi/smbios.h"
#include "log.h"
#include "util.h"

namespace korvane {

SmbiosIdentityCache smbios_identity_cache;

namespace {

struct SmbiosTable {
    const uint8_t *start;
    size_t size;
};

bool bytes_equal(const uint8_t *a, const char *b, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (a[i] != static_cast<uint8_t>(b[i]))
            return false;
    return true;
}

// An entry point must be long enough to hold the fields read from it, and no longer than the
// structure of its version.
bool entry_point_length_usable(uint8_t length, size_t fields_end, size_t structure_size) {
    return length >= fields_end && length <= structure_size;
}

SmbiosTable table_at(uint64_t address, size_t size) {
    uintptr_t end;
    if (address == 0 || __builtin_add_overflow(static_cast<uintptr_t>(address), size, &end))
        return {};
    return {reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(address)), size};
}

const SMBIOS_TABLE_3_0_ENTRY_POINT *smbios3_entry_point() {
    auto *ep = static_cast<const SMBIOS_TABLE_3_0_ENTRY_POINT *>(find_configuration_table(SMBIOS3_TABLE_GUID));
    if (!ep || !bytes_equal(ep->AnchorString, "_SM3_", 5) ||
        !entry_point_length_usable(ep->EntryPointLength, sizeof(*ep), sizeof(*ep)))
        return nullptr;
    return ep;
}

const SMBIOS_TABLE_ENTRY_POINT *smbios2_entry_point() {
    auto *ep = static_cast<const SMBIOS_TABLE_ENTRY_POINT *>(find_configuration_table(SMBIOS_TABLE_GUID));
    if (!ep || !bytes_equal(ep->AnchorString, "_SM_", 4) ||
        !entry_point_length_usable(ep->EntryPointLength,
                                   offsetof(SMBIOS_TABLE_ENTRY_POINT, TableAddress) + sizeof(ep->TableAddress),
                                   sizeof(*ep)))
        return nullptr;
    return ep;
}

// An accepted 3.x entry point decides alone, even when its table address is 0.
SmbiosTable find_table() {
    if (auto *ep3 = smbios3_entry_point())
        return table_at(ep3->TableAddress, ep3->TableMaximumSize);
    if (auto *ep2 = smbios2_entry_point())
        return table_at(ep2->TableAddress, ep2->TableLength);
    return {};
}

size_t byte_nlen(const uint8_t *p, size_t n) {
    size_t i = 0;
    while (i < n && p[i] != 0)
        i++;
    return i;
}

// Steps over the string set at *p; false when the table ends before the set does, also when
// it ends right after a string.
bool skip_string_set(const uint8_t **p, size_t *left) {
    if (*left < 2)
        return false;
    if ((*p)[0] == 0 && (*p)[1] == 0) {
        *p += 2;
        *left -= 2;
        return true;
    }
    for (bool first = true;; first = false) {
        size_t n = byte_nlen(*p, *left);
        if (n == *left)
            return false;
        *p += n + 1;
        *left -= n + 1;
        if (n == 0 && !first)
            return true;
    }
}

} // namespace

const SmbiosHeader *smbios_find_structure(uint8_t type, size_t min_length, size_t *ret_left) {
    *ret_left = 0;
    SmbiosTable table = find_table();
    const uint8_t *p = table.start;
    size_t left = table.size;
    if (!p)
        return nullptr;
    for (;;) {
        if (left < sizeof(SmbiosHeader))
            return nullptr;
        auto *h = reinterpret_cast<const SmbiosHeader *>(p);
        if (h->type == SMBIOS_TYPE_END_OF_TABLE || h->length > left)
            return nullptr;
        if (h->type == type) {
            if (h->length < min_length)
                return nullptr;
            *ret_left = left;
            return h;
        }
        p += h->length;
        left -= h->length;
        if (!skip_string_set(&p, &left))
            return nullptr;
    }
}

const char *smbios_get_string(const SmbiosHeader *header, uint8_t number, size_t left) {
    ASSERT(left >= header->length);
    if (number == 0)
        return nullptr;
    auto *p = reinterpret_cast<const uint8_t *>(header) + header->length;
    auto *end = reinterpret_cast<const uint8_t *>(header) + left;
    for (uint8_t i = 1;; i++) {
        if (p >= end)
            return nullptr;
        size_t n = byte_nlen(p, static_cast<size_t>(end - p));
        if (p + n == end || n == 0)
            return nullptr;
        if (i == number)
            return reinterpret_cast<const char *>(p);
        p += n + 1;
    }
}

const char *smbios_find_oem_string(const char *key) {
    size_t left;
    const SmbiosHeader *h = smbios_find_structure(SMBIOS_TYPE_OEM_STRINGS, 5, &left);
    if (!h)
        return nullptr;
    ASSERT(h->length <= left);
    // The strings follow the formatted area, however long the firmware made it.
    auto *p = reinterpret_cast<const char *>(h) + h->length;
    auto *end = reinterpret_cast<const char *>(h) + left;
    size_t key_len = str8_len(key);
    while (p < end) {
        size_t n = str8_nlen(p, static_cast<size_t>(end - p));
        if (p + n == end || n == 0)
            return nullptr;
        if (n > key_len && str8_ncompare(p, key, key_len) == 0 && p[key_len] == '=')
            return p + key_len + 1;
        p += n + 1;
    }
    return nullptr;
}

const SmbiosIdentityCache *smbios_identity_get() {
    SmbiosIdentityCache *c = &smbios_identity_cache;
    if (c->filled)
        return c;
    size_t left;
    if (auto *h = smbios_find_structure(SMBIOS_TYPE_SYSTEM_INFORMATION, 27, &left)) {
        auto *f = reinterpret_cast<const uint8_t *>(h);
        c->manufacturer = smbios_get_string(h, f[4], left);
        c->product_name = smbios_get_string(h, f[5], left);
        c->product_sku = smbios_get_string(h, f[25], left);
        c->family = smbios_get_string(h, f[26], left);
    }
    if (auto *h = smbios_find_structure(SMBIOS_TYPE_BASEBOARD_INFORMATION, 8, &left)) {
        auto *f = reinterpret_cast<const uint8_t *>(h);
        c->baseboard_manufacturer = smbios_get_string(h, f[4], left);
        c->baseboard_product = smbios_get_string(h, f[5], left);
    }
    c->filled = true;
    return c;
}

} // namespace korvane
