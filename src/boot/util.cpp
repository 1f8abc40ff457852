#include "util.h"

#include "firmware.h"
#include "log.h"

namespace korvane {

void *xmalloc(size_t size) {
    void *p = nullptr;
    ASSERT(BS->AllocatePool(EfiLoaderData, size, &p) == EFI_SUCCESS);
    return p;
}

void *try_malloc(size_t size) {
    void *p = nullptr;
    return BS->AllocatePool(EfiLoaderData, size, &p) == EFI_SUCCESS ? p : nullptr;
}

void *xmalloc_multiply(size_t n, size_t size) {
    ASSERT(MUL_ASSIGN_SAFE(&size, n));
    return xmalloc(size);
}

void unload_image(EFI_HANDLE image) {
    if (image)
        BS->UnloadImage(image);
}

void free_pool(void *p) {
    if (p)
        BS->FreePool(p);
}

PageAllocation xmalloc_pages(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memory_type, size_t n_pages,
                             EFI_PHYSICAL_ADDRESS addr) {
    ASSERT(BS->AllocatePages(type, memory_type, n_pages, &addr) == EFI_SUCCESS);
    return {addr, n_pages};
}

PageAllocation try_malloc_pages(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memory_type, size_t n_pages,
                                EFI_PHYSICAL_ADDRESS addr) {
    if (n_pages == 0 || BS->AllocatePages(type, memory_type, n_pages, &addr) != EFI_SUCCESS)
        return {};
    return {addr, n_pages};
}

void free_pages(PageAllocation *pages) {
    if (pages->n_pages != 0)
        BS->FreePages(pages->addr, pages->n_pages);
    *pages = {};
}

// The loops run only before the boot services pointer is captured; they must not be
// turned back into calls of the functions they implement.
__attribute__((no_builtin)) void *memcpy(void *dest, const void *src, size_t n) {
    if (!dest || !src || n == 0)
        return dest;
    if (BS) {
        BS->CopyMem(dest, src, n);
        return dest;
    }
    auto *d = static_cast<volatile uint8_t *>(dest);
    auto *s = static_cast<const uint8_t *>(src);
    for (size_t i = 0; i < n; i++)
        d[i] = s[i];
    return dest;
}

__attribute__((no_builtin)) void *memset(void *p, int c, size_t n) {
    if (!p || n == 0)
        return p;
    if (BS) {
        BS->SetMem(p, n, static_cast<uint8_t>(c));
        return p;
    }
    auto *d = static_cast<volatile uint8_t *>(p);
    for (size_t i = 0; i < n; i++)
        d[i] = static_cast<uint8_t>(c);
    return p;
}

char *xstr8_dup(const char *s, size_t n) {
    if (!s)
        return nullptr;
    size_t len = str8_nlen(s, n);
    char *d = xnew<char>(len + 1);
    memcpy(d, s, len);
    d[len] = 0;
    return d;
}

char16_t *xstr16_dup(const char16_t *s, size_t n) {
    if (!s)
        return nullptr;
    size_t len = str16_nlen(s, n);
    char16_t *d = xnew<char16_t>(len + 1);
    memcpy(d, s, len * sizeof(char16_t));
    d[len] = 0;
    return d;
}

namespace {

// Sequence length and the value bits of a UTF-8 lead byte; 0 for a byte that cannot lead.
struct Utf8Lead {
    unsigned length;
    uint32_t bits;
};

constexpr Utf8Lead utf8_lead(uint8_t c) {
    if (c < 0x80)
        return {1, c};
    if ((c & 0xe0) == 0xc0)
        return {2, c & 0x1fu};
    if ((c & 0xf0) == 0xe0)
        return {3, c & 0x0fu};
    if ((c & 0xf8) == 0xf0)
        return {4, c & 0x07u};
    if ((c & 0xfc) == 0xf8)
        return {5, c & 0x03u};
    if ((c & 0xfe) == 0xfc)
        return {6, c & 0x01u};
    return {0, 0};
}

} // namespace

char16_t *xstr8_to_utf16(const char *s, size_t n) {
    if (!s || n == 0)
        return nullptr;
    // The walk stops at the terminator anyway; bounding n by it keeps a sequence cut by the
    // terminator from reading past it, and n + 1 from overflowing.
    n = str8_nlen(s, n);
    // One input byte never yields more than one unit, so n + 1 units always suffice.
    char16_t *out = xnew<char16_t>(n + 1);
    auto *in = reinterpret_cast<const uint8_t *>(s);
    size_t o = 0;
    while (n > 0 && *in != 0) {
        Utf8Lead lead = utf8_lead(*in);
        if (lead.length == 0) {
            in++;
            n--;
            continue;
        }
        if (n < lead.length)
            break;
        uint32_t value = lead.bits;
        bool valid = true;
        for (unsigned i = 1; i < lead.length; i++) {
            if ((in[i] & 0xc0) != 0x80)
                valid = false;
            value = value << 6 | (in[i] & 0x3fu);
        }
        in += lead.length;
        n -= lead.length;
        // No surrogate pairs: values outside the basic plane and lone surrogates are dropped.
        if (valid && (value < 0xd800 || (value >= 0xe000 && value <= 0xffff)))
            out[o++] = static_cast<char16_t>(value);
    }
    out[o] = 0;
    return out;
}

void string_list_free(char16_t **list) {
    if (!list)
        return;
    for (char16_t **i = list; *i; i++)
        free_pool(*i);
    free_pool(list);
}

} // namespace korvane
