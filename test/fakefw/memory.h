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

// A pool block as it was when FreePool released it.
struct FreedPool {
    const void *address;
    EFI_MEMORY_TYPE type;
    std::vector<uint8_t> bytes;
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
    // Bytes in live pool blocks and pages now, and the most there were at once since the last
    // reset.
    size_t live_bytes() const { return live_bytes_; }
    size_t peak_bytes() const { return peak_bytes_; }
    // Bytes moved by CopyMem since the last reset: what a caller's copying costs.
    uint64_t copied_bytes() const { return copied_bytes_; }
    // Starts the peak at what is live now and the copy count at 0.
    void reset_counters();
    // From now on FreePool keeps a copy of every block it releases, so a test can check that
    // secrets were wiped before their memory went back.
    void keep_freed_pool() { keep_freed_ = true; }
    const std::vector<FreedPool> &freed_pool() const { return freed_; }

    // The live page allocation that starts at `addr`, or null.
    const PageBlock *pages(EFI_PHYSICAL_ADDRESS addr) const;
    size_t live_pages_count() const { return pages_.size(); }

    // Pool and page requests larger than `max` bytes fail with EFI_OUT_OF_RESOURCES, as on a
    // machine that has no more; by default 1 GiB, so that no request exhausts the host.
    void limit_allocations(UINTN max) { max_allocation_ = max; }

    // One description per live allocation: kind, size, memory type, address.
    std::vector<std::string> leaks() const;

    // Firmware side, called through the boot services table.
    void bind(EFI_BOOT_SERVICES &bs);
    EFI_STATUS allocate_pool(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer);
    EFI_STATUS free_pool(VOID *buffer);
    EFI_STATUS allocate_pages(EFI_ALLOCATE_TYPE how, EFI_MEMORY_TYPE type, UINTN n_pages, EFI_PHYSICAL_ADDRESS *memory);
    EFI_STATUS free_pages(EFI_PHYSICAL_ADDRESS addr, UINTN n_pages);
    void copy_mem(VOID *dest, const VOID *src, UINTN n);

private:
    void count_allocated(size_t size);

    UINTN max_allocation_ = UINTN(1) << 30;
    std::map<const void *, PoolBlock> pool_;
    size_t live_bytes_ = 0, peak_bytes_ = 0;
    uint64_t copied_bytes_ = 0;
    bool keep_freed_ = false;
    std::vector<FreedPool> freed_;
    std::map<EFI_PHYSICAL_ADDRESS, PageBlock> pages_;
};

} // namespace fakefw
