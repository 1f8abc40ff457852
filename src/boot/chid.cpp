#include "chid.h"

#include "config-table.h"
#include "devicetree.h"
#include "efi/devicetree.h"
#include "log.h"
#include "sha1.h"
#include "smbios.h"
#include "util.h"

namespace korvane {

namespace {

// The UTF-16 code units are hashed as they lie in memory.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);

constexpr size_t HWID_ENTRY_SIZE = sizeof(HwidEntry);

// Identity fields, numbered as the bits of a CHID's field mask.
enum ChidField {
    CHID_MANUFACTURER,
    CHID_FAMILY,
    CHID_PRODUCT_NAME,
    CHID_PRODUCT_SKU,
    CHID_BASEBOARD_MANUFACTURER,
    CHID_BASEBOARD_PRODUCT,
    CHID_FIELD_COUNT,
};

// The field masks of CHID types 3, 6, 8, 10, 4, 5, 7, 9 and 11: the matching priority order.
constexpr uint8_t chid_masks[] = {0x3f, 0x39, 0x35, 0x33, 0x0f, 0x07, 0x09, 0x05, 0x03};
constexpr size_t CHID_COUNT = sizeof(chid_masks);

constexpr uint8_t chid_namespace[16] = {0x70, 0xff, 0xd8, 0x12, 0x4c, 0x7f, 0x4c, 0x7d};

uint32_t le32(const uint8_t *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint32_t be32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}
uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// Entries are read byte-wise: a section need not place them at aligned addresses.
const uint8_t *entry_bytes(const HwidEntry *e) { return reinterpret_cast<const uint8_t *>(e); }
uint32_t entry_descriptor(const HwidEntry *e) { return le32(entry_bytes(e) + offsetof(HwidEntry, descriptor)); }
uint32_t entry_string_offset(const HwidEntry *e) {
    return le32(entry_bytes(e) + offsetof(HwidEntry, compatible_string_offset));
}

// A version-5 name-based UUID in EFI_GUID layout, from a SHA-1 digest.
EFI_GUID guid_from_digest(const uint8_t d[SHA1_DIGEST_SIZE]) {
    EFI_GUID g = {
        .Data1 = be32(d),
        .Data2 = be16(d + 4),
        .Data3 = static_cast<uint16_t>((be16(d + 6) & 0x0fff) | 0x5000),
        .Data4 = {static_cast<uint8_t>((d[8] & 0x3f) | 0x80), d[9], d[10], d[11], d[12], d[13], d[14], d[15]},
    };
    return g;
}

EFI_GUID chid_compute(char16_t *const fields[CHID_FIELD_COUNT], uint8_t mask) {
    Sha1Context ctx;
    sha1_init(&ctx);
    sha1_update(&ctx, chid_namespace, sizeof(chid_namespace));
    for (size_t f = 0; f < CHID_FIELD_COUNT; f++) {
        if (!(mask & (1u << f)))
            continue;
        if (f != CHID_MANUFACTURER)
            sha1_update(&ctx, u"&", sizeof(char16_t));
        sha1_update(&ctx, fields[f], str16_len(fields[f]) * sizeof(char16_t));
    }
    uint8_t digest[SHA1_DIGEST_SIZE];
    sha1_final(&ctx, digest);
    return guid_from_digest(digest);
}

void compute_chids(EFI_GUID chids[CHID_COUNT]) {
    const SmbiosIdentityCache *id = smbios_identity_get();
    PoolPtr<char16_t> owners[CHID_FIELD_COUNT] = {
        PoolPtr<char16_t>(chid_normalize_field(id->manufacturer)),
        PoolPtr<char16_t>(chid_normalize_field(id->family)),
        PoolPtr<char16_t>(chid_normalize_field(id->product_name)),
        PoolPtr<char16_t>(chid_normalize_field(id->product_sku)),
        PoolPtr<char16_t>(chid_normalize_field(id->baseboard_manufacturer)),
        PoolPtr<char16_t>(chid_normalize_field(id->baseboard_product)),
    };
    char16_t *fields[CHID_FIELD_COUNT];
    for (size_t f = 0; f < CHID_FIELD_COUNT; f++)
        fields[f] = owners[f].get();
    for (size_t i = 0; i < CHID_COUNT; i++)
        chids[i] = chid_compute(fields, chid_masks[i]);
}

// The entries before the end marker; an entry must leave bytes of the section after it.
EFI_STATUS count_entries(const HwidEntry *entries, size_t size, size_t *ret_n) {
    size_t n = 0;
    while ((n + 1) * HWID_ENTRY_SIZE < size) {
        uint32_t descriptor = entry_descriptor(&entries[n]);
        if (descriptor == 0)
            break;
        if (descriptor != HWID_DESCRIPTOR_DEVICETREE)
            return EFI_UNSUPPORTED;
        n++;
    }
    *ret_n = n;
    return EFI_SUCCESS;
}

bool entry_has_chid(const HwidEntry *e, const EFI_GUID &chid) {
    const uint8_t *a = entry_bytes(e) + offsetof(HwidEntry, chid);
    auto *b = reinterpret_cast<const uint8_t *>(&chid);
    for (size_t i = 0; i < sizeof(EFI_GUID); i++)
        if (a[i] != b[i])
            return false;
    return true;
}

// The compatible string a matched entry names, when it lies in the section with its NUL.
const char *hwid_compatible(const HwidMatch *hwid) {
    if (!hwid || !hwid->hwids || !hwid->entry || entry_descriptor(hwid->entry) != HWID_DESCRIPTOR_DEVICETREE)
        return nullptr;
    uint32_t offset = entry_string_offset(hwid->entry);
    if (offset == 0 || offset >= hwid->hwids_size)
        return nullptr;
    auto *s = reinterpret_cast<const char *>(hwid->hwids + offset);
    size_t room = hwid->hwids_size - offset;
    return str8_nlen(s, room) < room ? s : nullptr;
}

} // namespace

char16_t *chid_normalize_field(const char *s) {
    if (!s)
        s = "";
    while (*s == ' ')
        s++;
    while (*s == '0')
        s++;
    size_t n = str8_len(s);
    while (n > 0 && s[n - 1] == ' ')
        n--;
    if (n == 0) {
        char16_t *empty = xnew<char16_t>(1);
        empty[0] = 0;
        return empty;
    }
    return xstr8_to_utf16(s, n);
}

EFI_STATUS chid_match(const void *hwids, size_t size, const HwidEntry **ret_entry) {
    ASSERT(hwids);
    ASSERT(ret_entry);
    EFI_GUID chids[CHID_COUNT];
    compute_chids(chids);

    auto *entries = static_cast<const HwidEntry *>(hwids);
    size_t n;
    EFI_STATUS err = count_entries(entries, size, &n);
    if (err != EFI_SUCCESS)
        return err;
    // Priority order beats table order.
    for (size_t c = 0; c < CHID_COUNT; c++)
        for (size_t i = 0; i < n; i++)
            if (entry_has_chid(&entries[i], chids[c])) {
                *ret_entry = &entries[i];
                return EFI_SUCCESS;
            }
    return EFI_NOT_FOUND;
}

HwidMatch chid_identify(const PeSectionHeader *section_table, size_t n_section_table, uintptr_t validate_base) {
    // The firmware's own devicetree decides; the blobs are matched against it.
    if (find_configuration_table(EFI_DTB_TABLE_GUID))
        return {};
    const char *const names[] = {image_section_names[SECTION_HWIDS], nullptr};
    PeSectionSpan hwids_section = {};
    pe_locate_sections_internal(section_table, n_section_table, names, validate_base, nullptr, &hwids_section);
    if (hwids_section.mem_size == 0)
        return {};
    auto *hwids = reinterpret_cast<const uint8_t *>(validate_base + hwids_section.mem_offset);
    const HwidEntry *entry = nullptr;
    EFI_STATUS err = chid_match(hwids, hwids_section.mem_size, &entry);
    if (err != EFI_SUCCESS) {
        log_error(err, "HWID matching failed, no DT blob will be selected: %m");
        return {};
    }
    return {hwids, hwids_section.mem_size, entry};
}

bool pe_use_this_dtb(const void *blob, size_t blob_size, size_t section_index, const HwidMatch *hwid) {
    ASSERT(blob);
    if (const void *firmware_dt = find_configuration_table(EFI_DTB_TABLE_GUID))
        if (const char *compatible = devicetree_get_compatible(firmware_dt))
            return devicetree_match_by_compatible(blob, blob_size, compatible) == EFI_SUCCESS;

    const char *compatible = hwid_compatible(hwid);
    if (!compatible)
        return false;
    EFI_STATUS err = devicetree_match_by_compatible(blob, blob_size, compatible);
    if (err == EFI_INVALID_PARAMETER)
        log_error(err, "Found bad DT blob in PE section %zu", section_index);
    return err == EFI_SUCCESS;
}

} // namespace korvane
