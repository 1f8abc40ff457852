#include "devicetree-report.h"

#include "boot/firmware.h"
#include "boot/sha256.h"
#include "guids.h"
#include "memory-map.h"

namespace korvane::vmtest {

namespace {

// Devicetree Specification 0.4, chapter 5: a 40-byte header of big-endian words, then blocks.
constexpr uint32_t FDT_MAGIC = 0xd00dfeed;
constexpr size_t FDT_HEADER_SIZE = 40;
constexpr uint32_t FDT_BEGIN_NODE = 1;
constexpr uint32_t FDT_PROP = 3;
constexpr uint32_t FDT_NOP = 4;
// More than any devicetree a test carries; a larger size field is not trusted.
constexpr uint32_t DTB_SIZE_MAX = 1024 * 1024;

uint32_t be32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

size_t aligned4(size_t n) { return (n + 3) & ~size_t{3}; }

// The bytes of one string inside [p, end): its length, or `end - p` when it has no NUL there.
size_t bounded_len(const char *p, const char *end) {
    size_t n = 0;
    while (p + n < end && p[n])
        n++;
    return n;
}

// The blob's blocks, every one checked to lie inside totalsize.
struct Blob {
    const uint8_t *base;
    uint32_t size;
    uint32_t struct_offset, struct_end;
    uint32_t strings_offset, strings_end;

    bool name_is(uint32_t name_offset, const char *want) const {
        if (name_offset >= strings_end - strings_offset)
            return false;
        auto *name = reinterpret_cast<const char *>(base + strings_offset + name_offset);
        auto *end = reinterpret_cast<const char *>(base + strings_end);
        size_t n = bounded_len(name, end);
        if (name + n == end)
            return false;
        size_t i = 0;
        for (; i < n && want[i] && name[i] == want[i]; i++)
            ;
        return i == n && want[i] == 0;
    }
};

bool block_fits(uint32_t offset, uint32_t size, uint32_t total, uint32_t *ret_end) {
    return !__builtin_add_overflow(offset, size, ret_end) && *ret_end <= total;
}

bool blob_of(const uint8_t *p, uint32_t totalsize, Blob *ret) {
    *ret = {p, totalsize, be32(p + 8), 0, be32(p + 12), 0};
    return block_fits(ret->struct_offset, be32(p + 36), totalsize, &ret->struct_end) &&
           block_fits(ret->strings_offset, be32(p + 32), totalsize, &ret->strings_end);
}

// The root node's "compatible": its properties come before its first child node.
const char *root_compatible(const Blob &b) {
    size_t at = b.struct_offset;
    int depth = 0;
    while (at + 4 <= b.struct_end) {
        uint32_t token = be32(b.base + at);
        at += 4;
        if (token == FDT_NOP)
            continue;
        if (token == FDT_BEGIN_NODE) {
            if (depth++ > 0)
                return nullptr;
            auto *name = reinterpret_cast<const char *>(b.base + at);
            size_t n = bounded_len(name, reinterpret_cast<const char *>(b.base + b.struct_end));
            at += aligned4(n + 1);
            continue;
        }
        if (token != FDT_PROP || depth != 1 || at + 8 > b.struct_end)
            return nullptr;
        uint32_t len = be32(b.base + at), name_offset = be32(b.base + at + 4);
        at += 8;
        if (len > b.struct_end - at)
            return nullptr;
        auto *value = reinterpret_cast<const char *>(b.base + at);
        if (b.name_is(name_offset, "compatible"))
            return bounded_len(value, value + len) < len ? value : nullptr;
        at += aligned4(len);
    }
    return nullptr;
}

const void *first_devicetree(size_t *ret_entries) {
    const void *table = nullptr;
    *ret_entries = 0;
    for (UINTN i = 0; i < ST->NumberOfTableEntries; i++) {
        const EFI_CONFIGURATION_TABLE &entry = ST->ConfigurationTable[i];
        if (!efi_guid_equal(entry.VendorGuid, DTB_TABLE))
            continue;
        if (++*ret_entries == 1)
            table = entry.VendorTable;
    }
    return table;
}

} // namespace

void report_devicetree(Report &report) {
    size_t entries = 0;
    auto *p = static_cast<const uint8_t *>(first_devicetree(&entries));
    report.number("dtb.entries", entries);
    report.flag("dtb.present", p != nullptr);
    if (!p)
        return;
    uint32_t type = 0;
    if (memory_type_of(p, &type))
        report.number("dtb.memory-type", type);
    uint32_t magic = be32(p), totalsize = be32(p + 4);
    report.number("dtb.magic", magic);
    report.number("dtb.totalsize", totalsize);
    if (magic != FDT_MAGIC || totalsize < FDT_HEADER_SIZE || totalsize > DTB_SIZE_MAX)
        return;
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_direct(p, totalsize, digest);
    report.bytes("dtb.sha256", digest, sizeof(digest));
    Blob blob;
    if (const char *compatible = blob_of(p, totalsize, &blob) ? root_compatible(blob) : nullptr)
        report.text8("dtb.compatible", compatible);
}

} // namespace korvane::vmtest
