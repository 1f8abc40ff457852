#include "fakefw/memory.h"

#include <sys/mman.h>

#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

#include "fakefw/trampoline.h"

namespace fakefw {

namespace {

// Firmware does not zero what it hands out; a fill pattern catches code that assumes it does.
constexpr int FILL = 0xaf;
// Searches for a range below a limit stay above the null page and mmap_min_addr, and can
// still reach below 640 KiB.
constexpr uintptr_t LOWEST_ADDRESS = 0x10000;
constexpr uintptr_t SEARCH_STEP = 0x100000;

std::string hex(uint64_t v) {
    char buf[24];
    snprintf(buf, sizeof(buf), "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

bool valid_type(EFI_MEMORY_TYPE type) {
    if (type >= EfiMaxMemoryType)
        return type >= 0x70000000;
    return type != EfiConventionalMemory && type != EfiPersistentMemory && type != EfiUnacceptedMemoryType;
}

void *map(uintptr_t at, size_t size, int flags) {
    void *p =
        mmap(reinterpret_cast<void *>(at), size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | flags, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    // Kernels without MAP_FIXED_NOREPLACE take the address as a hint only.
    if ((flags & MAP_FIXED_NOREPLACE) && p != reinterpret_cast<void *>(at)) {
        munmap(p, size);
        return nullptr;
    }
    return p;
}

void *map_fitting(void *p, size_t size, uint64_t max) {
    if (p && reinterpret_cast<uintptr_t>(p) - 1 + size <= max)
        return p;
    if (p)
        munmap(p, size);
    return nullptr;
}

// A range whose last byte is at or below `max`: anywhere, then the low 2 GiB, then a search
// down from the limit.
void *map_below(uint64_t max, size_t size) {
    if (max < size - 1)
        return nullptr;
    if (void *p = map_fitting(map(0, size, 0), size, max))
        return p;
    if (void *p = map_fitting(map(0, size, MAP_32BIT), size, max))
        return p;
    for (uint64_t at = (max - (size - 1)) & ~uint64_t(EFI_PAGE_SIZE - 1); at >= LOWEST_ADDRESS; at -= SEARCH_STEP) {
        if (void *p = map(at, size, MAP_FIXED_NOREPLACE))
            return p;
        if (at < SEARCH_STEP)
            break;
    }
    return nullptr;
}

void *map_pages(EFI_ALLOCATE_TYPE how, size_t size, EFI_PHYSICAL_ADDRESS at) {
    switch (how) {
    case AllocateAnyPages:
        return map(0, size, 0);
    case AllocateMaxAddress:
        return map_below(at, size);
    case AllocateAddress:
        return at % EFI_PAGE_SIZE == 0 ? map(at, size, MAP_FIXED_NOREPLACE) : nullptr;
    default:
        return nullptr;
    }
}

Memory &memory() { return Firmware::active().memory(); }

EFI_STATUS allocate_pool(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer) {
    return memory().allocate_pool(type, size, buffer);
}
EFI_STATUS free_pool(VOID *buffer) { return memory().free_pool(buffer); }
EFI_STATUS allocate_pages(EFI_ALLOCATE_TYPE how, EFI_MEMORY_TYPE type, UINTN n_pages, EFI_PHYSICAL_ADDRESS *memory) {
    return fakefw::memory().allocate_pages(how, type, n_pages, memory);
}
EFI_STATUS free_pages(EFI_PHYSICAL_ADDRESS addr, UINTN n_pages) { return memory().free_pages(addr, n_pages); }

void copy_mem(VOID *dest, const VOID *src, UINTN n) { memory().copy_mem(dest, src, n); }
void set_mem(VOID *p, UINTN n, UINT8 value) {
    if (n == 0)
        return;
    if (!p) {
        ADD_FAILURE() << "fakefw: SetMem(NULL, " << n << ")";
        return;
    }
    memset(p, value, n);
}

} // namespace

const char *memory_type_name(EFI_MEMORY_TYPE type) {
    static constexpr const char *NAMES[] = {
        "EfiReservedMemoryType",
        "EfiLoaderCode",
        "EfiLoaderData",
        "EfiBootServicesCode",
        "EfiBootServicesData",
        "EfiRuntimeServicesCode",
        "EfiRuntimeServicesData",
        "EfiConventionalMemory",
        "EfiUnusableMemory",
        "EfiACPIReclaimMemory",
        "EfiACPIMemoryNVS",
        "EfiMemoryMappedIO",
        "EfiMemoryMappedIOPortSpace",
        "EfiPalCode",
        "EfiPersistentMemory",
        "EfiUnacceptedMemoryType",
    };
    return type < EfiMaxMemoryType ? NAMES[type] : "(OEM or OS memory type)";
}

Memory::~Memory() {
    for (auto &[p, block] : pool_)
        free(const_cast<void *>(p));
    for (auto &[addr, block] : pages_)
        munmap(reinterpret_cast<void *>(addr), block.n_pages * EFI_PAGE_SIZE);
}

const PoolBlock *Memory::pool(const void *p) const {
    auto it = pool_.find(p);
    return it == pool_.end() ? nullptr : &it->second;
}

size_t Memory::pool_size(const void *p) const {
    const PoolBlock *block = pool(p);
    if (!block) {
        ADD_FAILURE() << "fakefw: " << p << " is not a live pool allocation";
        return 0;
    }
    return block->size;
}

const PageBlock *Memory::pages(EFI_PHYSICAL_ADDRESS addr) const {
    auto it = pages_.find(addr);
    return it == pages_.end() ? nullptr : &it->second;
}

std::vector<std::string> Memory::leaks() const {
    std::vector<std::string> out;
    for (auto &[p, block] : pool_)
        out.push_back("pool: " + std::to_string(block.size) + " bytes of " + memory_type_name(block.type) + " at " +
                      hex(reinterpret_cast<uintptr_t>(p)));
    for (auto &[addr, block] : pages_)
        out.push_back("pages: " + std::to_string(block.n_pages) + " pages (" +
                      std::to_string(block.n_pages * EFI_PAGE_SIZE) + " bytes) of " + memory_type_name(block.type) +
                      " at " + hex(addr));
    return out;
}

void Memory::bind(EFI_BOOT_SERVICES &bs) {
    bs.AllocatePool = Entry<Service::AllocatePool, fakefw::allocate_pool>::call;
    bs.FreePool = Entry<Service::FreePool, fakefw::free_pool>::call;
    bs.AllocatePages = Entry<Service::AllocatePages, fakefw::allocate_pages>::call;
    bs.FreePages = Entry<Service::FreePages, fakefw::free_pages>::call;
    bs.CopyMem = Entry<Service::CopyMem, fakefw::copy_mem>::call;
    bs.SetMem = Entry<Service::SetMem, set_mem>::call;
}

EFI_STATUS Memory::allocate_pool(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer) {
    if (!buffer || !valid_type(type))
        return EFI_INVALID_PARAMETER;
    if (size > max_allocation_)
        return EFI_OUT_OF_RESOURCES;
    void *p = malloc(size);
    if (!p)
        return EFI_OUT_OF_RESOURCES;
    memset(p, FILL, size);
    pool_[p] = PoolBlock{size, type};
    count_allocated(size);
    *buffer = p;
    return EFI_SUCCESS;
}

EFI_STATUS Memory::free_pool(VOID *buffer) {
    auto it = pool_.find(buffer);
    if (it == pool_.end()) {
        ADD_FAILURE() << "fakefw: FreePool(" << buffer << "), which is not a live pool allocation";
        return EFI_INVALID_PARAMETER;
    }
    if (keep_freed_) {
        const auto *bytes = static_cast<const uint8_t *>(buffer);
        freed_.push_back(FreedPool{buffer, it->second.type, {bytes, bytes + it->second.size}});
    }
    live_bytes_ -= it->second.size;
    pool_.erase(it);
    free(buffer);
    return EFI_SUCCESS;
}

void Memory::count_allocated(size_t size) {
    live_bytes_ += size;
    peak_bytes_ = std::max(peak_bytes_, live_bytes_);
}

void Memory::reset_counters() {
    peak_bytes_ = live_bytes_;
    copied_bytes_ = 0;
}

// CopyMem is defined for overlapping buffers. Null buffers would fault on a real machine.
void Memory::copy_mem(VOID *dest, const VOID *src, UINTN n) {
    if (n == 0)
        return;
    if (!dest || !src) {
        ADD_FAILURE() << "fakefw: CopyMem(" << dest << ", " << src << ", " << n << ")";
        return;
    }
    memmove(dest, src, n);
    copied_bytes_ += n;
}

EFI_STATUS Memory::allocate_pages(EFI_ALLOCATE_TYPE how, EFI_MEMORY_TYPE type, UINTN n_pages,
                                  EFI_PHYSICAL_ADDRESS *memory) {
    if (!memory || how >= MaxAllocateType || !valid_type(type) || n_pages == 0)
        return EFI_INVALID_PARAMETER;
    if (n_pages > max_allocation_ / EFI_PAGE_SIZE)
        return EFI_OUT_OF_RESOURCES;
    size_t size = n_pages * EFI_PAGE_SIZE;
    void *p = map_pages(how, size, *memory);
    if (!p)
        return EFI_NOT_FOUND;
    // Loader code pages run what is copied there, as a kernel copy does.
    if (type == EfiLoaderCode && mprotect(p, size, PROT_READ | PROT_WRITE | PROT_EXEC) != 0) {
        munmap(p, size);
        return EFI_OUT_OF_RESOURCES;
    }
    memset(p, FILL, size);
    EFI_PHYSICAL_ADDRESS addr = reinterpret_cast<uintptr_t>(p);
    pages_[addr] = PageBlock{addr, n_pages, type};
    count_allocated(size);
    *memory = addr;
    return EFI_SUCCESS;
}

EFI_STATUS Memory::free_pages(EFI_PHYSICAL_ADDRESS addr, UINTN n_pages) {
    auto it = pages_.find(addr);
    if (it == pages_.end() || it->second.n_pages != n_pages) {
        ADD_FAILURE() << "fakefw: FreePages(" << hex(addr) << ", " << n_pages
                      << "), which does not match a live page allocation";
        return EFI_NOT_FOUND;
    }
    munmap(reinterpret_cast<void *>(addr), n_pages * EFI_PAGE_SIZE);
    live_bytes_ -= n_pages * EFI_PAGE_SIZE;
    pages_.erase(it);
    return EFI_SUCCESS;
}

} // namespace fakefw
