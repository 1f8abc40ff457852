#include "devicetree.h"

#include "config-table.h"
#include "efi/devicetree.h"
#include "firmware.h"
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

constexpr UINT32 DT_FIXUP_FLAGS = EFI_DT_APPLY_FIXUPS | EFI_DT_RESERVE_MEMORY;

void *copy_of(const DtInstallState &s) { return reinterpret_cast<void *>(static_cast<uintptr_t>(s.copy_address)); }

void free_copy(DtInstallState *s) {
    BS->FreePages(s->copy_address, s->copy_pages);
    s->copy_address = 0;
    s->copy_pages = 0;
}

// A copy that is not installed yet: freed on every way out unless handed over.
class PendingCopy {
public:
    PendingCopy() = default;
    PendingCopy(const PendingCopy &) = delete;
    PendingCopy &operator=(const PendingCopy &) = delete;
    ~PendingCopy() {
        if (state.copy_pages != 0)
            free_copy(&state);
    }
    DtInstallState release() {
        DtInstallState s = state;
        state = {};
        return s;
    }

    DtInstallState state = {};
};

// The firmware may need more room than the blob for its fix-ups; it says how much once, and
// the copy moves to pages of that size. The blob's own bytes always fit, whatever it asks for.
EFI_STATUS apply_fixups(DtInstallState *copy, size_t dtb_length) {
    EFI_DT_FIXUP_PROTOCOL *fixup = nullptr;
    if (BS->LocateProtocol(&EFI_DT_FIXUP_PROTOCOL_GUID, nullptr, reinterpret_cast<void **>(&fixup)) != EFI_SUCCESS ||
        !fixup)
        return EFI_SUCCESS;

    UINTN size = copy->copy_pages * EFI_PAGE_SIZE;
    EFI_STATUS err = fixup->Fixup(fixup, copy_of(*copy), &size, DT_FIXUP_FLAGS);
    if (err != EFI_BUFFER_TOO_SMALL)
        return err;

    DtInstallState old = *copy;
    err = dt_allocate_pages(copy, size > dtb_length ? size : dtb_length);
    if (err != EFI_SUCCESS)
        return err;
    memcpy(copy_of(*copy), copy_of(old), dtb_length);
    free_copy(&old);

    size = copy->copy_pages * EFI_PAGE_SIZE;
    return fixup->Fixup(fixup, copy_of(*copy), &size, DT_FIXUP_FLAGS);
}

} // namespace

EFI_STATUS dt_allocate_pages(DtInstallState *state, size_t size) {
    ASSERT(state);
    UINTN pages = efi_size_to_pages(size);
    EFI_PHYSICAL_ADDRESS addr = 0;
    EFI_STATUS err = BS->AllocatePages(AllocateAnyPages, EfiACPIReclaimMemory, pages, &addr);
    if (err != EFI_SUCCESS)
        return err;
    state->copy_address = addr;
    state->copy_pages = pages;
    return EFI_SUCCESS;
}

EFI_STATUS devicetree_install_from_memory(DtInstallState *state, const void *dtb_buffer, size_t dtb_length) {
    ASSERT(state);
    ASSERT(dtb_buffer);
    ASSERT(dtb_length > 0);

    PendingCopy copy;
    EFI_STATUS err = dt_allocate_pages(&copy.state, dtb_length);
    if (err != EFI_SUCCESS)
        return err;
    // A restore puts back what the firmware had before the first installation, not a copy of ours.
    bool first = state->copy_pages == 0;
    copy.state.previous_table = first ? find_configuration_table(EFI_DTB_TABLE_GUID) : state->previous_table;
    memcpy(copy_of(copy.state), dtb_buffer, dtb_length);

    err = apply_fixups(&copy.state, dtb_length);
    if (err != EFI_SUCCESS)
        return err;
    err = BS->InstallConfigurationTable(&EFI_DTB_TABLE_GUID, copy_of(copy.state));
    if (err != EFI_SUCCESS)
        return err;
    // The table no longer points at the copy this one replaced.
    if (!first)
        free_copy(state);
    *state = copy.release();
    return EFI_SUCCESS;
}

void devicetree_restore(DtInstallState *state) {
    ASSERT(state);
    if (state->copy_pages == 0)
        return;
    if (BS->InstallConfigurationTable(&EFI_DTB_TABLE_GUID, const_cast<void *>(state->previous_table)) != EFI_SUCCESS)
        return;
    free_copy(state);
    state->previous_table = nullptr;
}

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
