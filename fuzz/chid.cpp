// A ".hwids" table looked up with the hardware IDs of a fuzzed SMBIOS identity. A match is an
// entry before the end marker, inside the section; and where the identity is plain UTF-8
// text, it is the entry of the highest-priority CHID that the table holds, as computed here
// from the published CHID rules with OpenSSL.
#include "support.h"

#include <openssl/evp.h>

#include <array>
#include <cstring>

#include "boot/chid.h"
#include "boot/smbios.h"
#include "unit/smbios-tables.h"

namespace {

constexpr size_t ENTRY_SIZE = 28;
constexpr uint8_t MASKS[] = {0x3f, 0x39, 0x35, 0x33, 0x0f, 0x07, 0x09, 0x05, 0x03};

uint32_t le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

// Leading blanks, the zeros after them and trailing blanks dropped; as UTF-16 when the rest
// is UTF-8 of characters up to U+FFFF in their shortest form, else false.
bool normalise(const char *s, std::u16string *out) {
    std::string v = s ? s : "";
    v.erase(0, v.find_first_not_of(' ') == std::string::npos ? v.size() : v.find_first_not_of(' '));
    v.erase(0, v.find_first_not_of('0') == std::string::npos ? v.size() : v.find_first_not_of('0'));
    v.erase(v.find_last_not_of(' ') + 1);
    for (size_t i = 0; i < v.size();) {
        auto c = static_cast<uint8_t>(v[i]);
        size_t len = c < 0x80 ? 1 : (c & 0xe0) == 0xc0 ? 2 : (c & 0xf0) == 0xe0 ? 3 : 0;
        if (len == 0 || i + len > v.size())
            return false;
        uint32_t cp = len == 1 ? c : c & (len == 2 ? 0x1f : 0x0f);
        for (size_t k = 1; k < len; k++) {
            auto b = static_cast<uint8_t>(v[i + k]);
            if ((b & 0xc0) != 0x80)
                return false;
            cp = cp << 6 | (b & 0x3f);
        }
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (cp >= 0xd800 && cp < 0xe000))
            return false;
        out->push_back(char16_t(cp));
        i += len;
    }
    return true;
}

std::array<uint8_t, 16> chid(const std::array<std::u16string, 6> &fields, uint8_t mask) {
    static const uint8_t ns[16] = {0x70, 0xff, 0xd8, 0x12, 0x4c, 0x7f, 0x4c, 0x7d};
    std::string name(reinterpret_cast<const char *>(ns), 16);
    for (size_t f = 0; f < 6; f++) {
        if (!(mask & 1u << f))
            continue;
        std::u16string part = (f ? u"&" : u"") + fields[f];
        name.append(reinterpret_cast<const char *>(part.data()), part.size() * 2);
    }
    uint8_t d[EVP_MAX_MD_SIZE];
    EVP_Digest(name.data(), name.size(), d, nullptr, EVP_sha1(), nullptr);
    // RFC 4122 version 5, stored with the first three fields little-endian.
    return {d[3], d[2], d[1], d[0], d[5], d[4], uint8_t(d[7]), uint8_t((d[6] & 0x0f) | 0x50),
            uint8_t((d[8] & 0x3f) | 0x80), d[9], d[10], d[11], d[12], d[13], d[14], d[15]};
}

// The entry the rules pick, or -1; false when the identity is not plain text.
bool expected_entry(const uint8_t *hwids, size_t n_entries, long *ret) {
    const korvane::SmbiosIdentityCache *id = korvane::smbios_identity_get();
    std::array<std::u16string, 6> fields;
    const char *raw[6] = {id->manufacturer,     id->family, id->product_name, id->product_sku,
                          id->baseboard_manufacturer, id->baseboard_product};
    for (size_t f = 0; f < 6; f++)
        if (!normalise(raw[f], &fields[f]))
            return false;
    *ret = -1;
    for (uint8_t mask : MASKS) {
        std::array<uint8_t, 16> c = chid(fields, mask);
        for (size_t i = 0; i < n_entries; i++)
            if (memcmp(hwids + i * ENTRY_SIZE + 4, c.data(), 16) == 0) {
                *ret = long(i);
                return true;
            }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    fuzz::Bytes table = in.part();
    fuzz::Bytes hwids = in.rest();
    if (hwids.empty())
        return 0;
    fuzz::with_firmware([&](fakefw::Firmware &fw) {
        smbiostest::Tables tables(fw);
        tables.add3(table);
        fuzz::Exact exact(hwids);
        uint8_t *h = exact.data();

        // What the table holds: entries before the end marker; any other kind spoils it.
        size_t n = 0;
        bool unsupported = false;
        for (; (n + 1) * ENTRY_SIZE < hwids.size(); n++) {
            uint32_t descriptor = le32(h + n * ENTRY_SIZE);
            if (descriptor == 0)
                break;
            if (descriptor != korvane::HWID_DESCRIPTOR_DEVICETREE)
                unsupported = true;
        }

        const korvane::HwidEntry *entry = nullptr;
        EFI_STATUS err = korvane::chid_match(h, hwids.size(), &entry);
        FUZZ_CHECK(unsupported ? err == EFI_UNSUPPORTED : err == EFI_SUCCESS || err == EFI_NOT_FOUND);
        long index = -1;
        if (err == EFI_SUCCESS) {
            auto offset = reinterpret_cast<const uint8_t *>(entry) - h;
            FUZZ_CHECK(offset >= 0 && offset % ENTRY_SIZE == 0 && size_t(offset) / ENTRY_SIZE < n);
            index = offset / long(ENTRY_SIZE);
        }
        long expected;
        if (!unsupported && expected_entry(h, n, &expected))
            FUZZ_CHECK(index == expected);
    });
    return 0;
}
