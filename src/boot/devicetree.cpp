#include "devicetree.h"

#include "log.h"
#include "util.h"

namespace korvane {

namespace {

// The flattened devicetree header (Devicetree Specification 0.4, section 5.2); big-endian.
struct FdtHeader {
    uint32_t magic;
    uint32_t totalsize;
    uint32_t off_dt_struct;
    uint32_t off_dt_strings;
    uint32_t off_mem_rsvmap;
    uint32_t version;
    uint32_t last_comp_version;
    uint32_t boot_cpuid_phys;
    uint32_t size_dt_strings;
    uint32_t size_dt_struct;
};
static_assert(sizeof(FdtHeader) == 40);
static_assert(offsetof(FdtHeader, off_dt_strings) == 12);
static_assert(offsetof(FdtHeader, size_dt_strings) == 32);
static_assert(offsetof(FdtHeader, size_dt_struct) == 36);

constexpr uint32_t FDT_MAGIC = 0xd00dfeed;
constexpr uint32_t FDT_BEGIN_NODE = 1;
constexpr uint32_t FDT_PROP = 3;
constexpr uint32_t FDT_NOP = 4;

constexpr char COMPATIBLE[] = "compatible";

constexpr uint32_t be32(uint32_t v) { return __builtin_bswap32(v); }

// The structure block as an array of big-endian words, with the strings block it names into.
struct StructBlock {
    const uint32_t *words;
    size_t n_words;
    const char *strings;
    uint32_t strings_size;

    uint32_t word(size_t i) const { return be32(words[i]); }

    bool names_compatible(uint32_t name_offset) const {
        if (uint64_t{name_offset} + sizeof(COMPATIBLE) - 1 >= strings_size)
            return false;
        return str8_ncompare(strings + name_offset, COMPATIBLE, sizeof(COMPATIBLE)) == 0;
    }
};

bool add_u32(uint32_t a, uint32_t b, uint32_t *ret) { return !__builtin_add_overflow(a, b, ret); }

// The blocks named by the header, when they lie inside totalsize in the expected order.
bool struct_block_of(const FdtHeader *h, StructBlock *ret) {
    uint32_t totalsize = be32(h->totalsize), off_struct = be32(h->off_dt_struct),
             size_struct = be32(h->size_dt_struct), off_strings = be32(h->off_dt_strings),
             size_strings = be32(h->size_dt_strings);
    uintptr_t blob_end;
    uint32_t strings_end, struct_end;
    if (__builtin_add_overflow(reinterpret_cast<uintptr_t>(h), totalsize, &blob_end))
        return false;
    if (!add_u32(off_strings, size_strings, &strings_end) || strings_end > totalsize)
        return false;
    if (off_struct % 4 != 0 || size_struct % 4 != 0)
        return false;
    if (!add_u32(off_struct, size_struct, &struct_end) || struct_end > off_strings || struct_end == 0)
        return false;
    auto *base = reinterpret_cast<const uint8_t *>(h);
    *ret = {reinterpret_cast<const uint32_t *>(base + off_struct), size_struct / 4,
            reinterpret_cast<const char *>(base + off_strings), size_strings};
    return true;
}

// Properties come before child nodes, so the walk stops at the first named node.
const char *find_root_compatible(const StructBlock &b) {
    size_t i = 0;
    while (i < b.n_words) {
        switch (b.word(i)) {
        case FDT_BEGIN_NODE:
            if (i + 1 >= b.n_words || b.word(i + 1) != 0)
                return nullptr;
            i += 2;
            break;
        case FDT_NOP:
            i++;
            break;
        case FDT_PROP: {
            if (i + 3 >= b.n_words)
                return nullptr;
            uint32_t len = b.word(i + 1);
            size_t value_words = len / 4 + (len % 4 != 0);
            if (!b.names_compatible(b.word(i + 2))) {
                i += 3 + value_words;
                break;
            }
            if (len == 0 || i + 3 + value_words > b.n_words)
                return nullptr;
            auto *value = reinterpret_cast<const char *>(&b.words[i + 3]);
            return value[len - 1] == 0 ? value : nullptr;
        }
        default:
            return nullptr;
        }
    }
    return nullptr;
}

bool aligned(const void *p) { return reinterpret_cast<uintptr_t>(p) % 4 == 0; }

} // namespace

const char *devicetree_get_compatible(const void *blob) {
    ASSERT(blob);
    if (!aligned(blob))
        return nullptr;
    auto *h = static_cast<const FdtHeader *>(blob);
    StructBlock block;
    if (be32(h->magic) != FDT_MAGIC || !struct_block_of(h, &block))
        return nullptr;
    return find_root_compatible(block);
}

EFI_STATUS devicetree_match_by_compatible(const void *blob, size_t length, const char *compatible) {
    ASSERT(blob);
    ASSERT(compatible);
    if (!aligned(blob) || length < sizeof(FdtHeader) ||
        length < be32(static_cast<const FdtHeader *>(blob)->totalsize))
        return EFI_INVALID_PARAMETER;
    const char *own = devicetree_get_compatible(blob);
    if (!own)
        return EFI_INVALID_PARAMETER;
    return str8_ncompare(own, compatible, SIZE_MAX) == 0 ? EFI_SUCCESS : EFI_NOT_FOUND;
}

} // namespace korvane
