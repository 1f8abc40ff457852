// Memory and strings. Allocation never fails to the caller: it halts the machine instead.
// Whoever receives an allocated result owns it; the owners below release it on scope exit.
#pragma once

#include "efi/efi.h"
#include "../fundamental/assert-fundamental.h"
#include "../fundamental/string-util-fundamental.h"

namespace korvane {

template <typename T> [[nodiscard]] constexpr bool INC_SAFE(T *a, T b) { return !__builtin_add_overflow(*a, b, a); }
template <typename T> [[nodiscard]] constexpr bool MUL_ASSIGN_SAFE(T *a, T b) {
    return !__builtin_mul_overflow(*a, b, a);
}

[[nodiscard]] void *xmalloc(size_t size);
// For a size that outside bytes choose (a file on the ESP, a firmware table): null when the
// firmware cannot give that much, so that the caller passes the input over instead of halting.
[[nodiscard]] void *try_malloc(size_t size);
[[nodiscard]] void *xmalloc_multiply(size_t n, size_t size);
template <typename T> [[nodiscard]] T *xnew(size_t n) { return static_cast<T *>(xmalloc_multiply(n, sizeof(T))); }
void free_pool(void *p);

struct PageAllocation {
    EFI_PHYSICAL_ADDRESS addr;
    size_t n_pages;
};
[[nodiscard]] PageAllocation xmalloc_pages(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memory_type, size_t n_pages,
                                           EFI_PHYSICAL_ADDRESS addr);
// For a size that outside bytes choose: no pages (n_pages 0) when the firmware has none to give.
[[nodiscard]] PageAllocation try_malloc_pages(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memory_type, size_t n_pages,
                                              EFI_PHYSICAL_ADDRESS addr);
void free_pages(PageAllocation *pages);

void *memcpy(void *dest, const void *src, size_t n);
void *memset(void *p, int c, size_t n);

[[nodiscard]] char *xstr8_dup(const char *s, size_t n);
[[nodiscard]] char16_t *xstr16_dup(const char16_t *s, size_t n);
[[nodiscard]] char16_t *xstr8_to_utf16(const char *s, size_t n);
void string_list_free(char16_t **list);

// A (pointer, length) pair for every blob: sections, initrd parts, archives, the kernel.
struct iovec {
    void *iov_base;
    size_t iov_len;
};
constexpr bool iovec_is_set(const iovec &v) { return v.iov_base && v.iov_len > 0; }
constexpr bool iovec_is_valid(const iovec &v) { return v.iov_base || v.iov_len == 0; }

template <typename T> constexpr T &&move(T &v) { return static_cast<T &&>(v); }

// Pool memory owned by one scope.
template <typename T> class PoolPtr {
public:
    constexpr PoolPtr() = default;
    constexpr explicit PoolPtr(T *p) : p_(p) {}
    PoolPtr(const PoolPtr &) = delete;
    PoolPtr &operator=(const PoolPtr &) = delete;
    PoolPtr(PoolPtr &&o) : p_(o.release()) {}
    PoolPtr &operator=(PoolPtr &&o) {
        reset(o.release());
        return *this;
    }
    ~PoolPtr() { free_pool(p_); }

    T *get() const { return p_; }
    T *operator->() const { return p_; }
    T &operator[](size_t i) const { return p_[i]; }
    explicit operator bool() const { return p_ != nullptr; }
    [[nodiscard]] T *release() {
        T *p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(T *p = nullptr) {
        free_pool(p_);
        p_ = p;
    }
    // For out-parameters of firmware calls: frees what is held and hands out the slot.
    T **out() {
        reset();
        return &p_;
    }
    // For in/out parameters that may replace what is held.
    T **inout() { return &p_; }

private:
    T *p_ = nullptr;
};

// A loaded image owned by one scope: unloaded on scope exit.
void unload_image(EFI_HANDLE image);
class ImageHandle {
public:
    ImageHandle() = default;
    ImageHandle(const ImageHandle &) = delete;
    ImageHandle &operator=(const ImageHandle &) = delete;
    ~ImageHandle() { unload_image(handle_); }
    EFI_HANDLE get() const { return handle_; }
    EFI_HANDLE *out() { return &handle_; }

private:
    EFI_HANDLE handle_ = nullptr;
};

// A page allocation owned by one scope.
class Pages {
public:
    constexpr Pages() = default;
    constexpr explicit Pages(PageAllocation a) : a_(a) {}
    Pages(const Pages &) = delete;
    Pages &operator=(const Pages &) = delete;
    Pages(Pages &&o) : a_(o.release()) {}
    Pages &operator=(Pages &&o) {
        free_pages(&a_);
        a_ = o.release();
        return *this;
    }
    ~Pages() { free_pages(&a_); }

    EFI_PHYSICAL_ADDRESS addr() const { return a_.addr; }
    size_t n_pages() const { return a_.n_pages; }
    template <typename T = void> T *ptr() const { return reinterpret_cast<T *>(static_cast<uintptr_t>(a_.addr)); }
    explicit operator bool() const { return a_.n_pages != 0; }
    [[nodiscard]] PageAllocation release() {
        PageAllocation a = a_;
        a_ = {};
        return a;
    }

private:
    PageAllocation a_ = {};
};

} // namespace korvane
