// Pool and page memory, CopyMem and SetMem. Every live allocation is tracked with its size
// and memory type, so tests can check ownership and the Firmware can report leaks.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "boot/efi/efi.h"

namespace fakefw {

struct PoolBlock {
    size_t size;
    EFI_MEMORY_TYPE type;
};

struct PageBlock {
    EFI_PHYSICAL_ADDRESS addr;
    UINTN n_pages;
    EFI_MEMORY_TYPE type;
};

const char *memory_type_name(EFI_MEMORY_TYPE type);

class Memory {
public:
    Memory() = default;
    Memory(const Memory &) = delete;
    Memory &operator=(const Memory &) = delete;
    ~Memory();

    // The live pool allocation that starts at `p`, or null.
    const PoolBlock *pool(const void *p) const;
    // Size of the live pool allocation at `p`; fails the test (and gives 0) when there is none.
    size_t pool_size(const void *p) const;
    size_t live_pool_count() const { return pool_.size(); }

    // The live page allocation that starts at `addr`, or null.
    const PageBlock *pages(EFI_PHYSICAL_ADDRESS addr) const;
    size_t live_pages_count() const { return pages_.size(); }

    // One description per live allocation: kind, size, memory type, address.
    std::vector<std::string> leaks() const;

    // Firmware side, called through the boot services table.
    void bind(EFI_BOOT_SERVICES &bs);
    EFI_STATUS allocate_pool(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer);
    EFI_STATUS free_pool(VOID *buffer);
    EFI_STATUS allocate_pages(EFI_ALLOCATE_TYPE how, EFI_MEMORY_TYPE type, UINTN n_pages, EFI_PHYSICAL_ADDRESS *memory);
    EFI_STATUS free_pages(EFI_PHYSICAL_ADDRESS addr, UINTN n_pages);

private:
    std::map<const void *, PoolBlock> pool_;
    std::map<EFI_PHYSICAL_ADDRESS, PageBlock> pages_;
};

} // namespace fakefw
