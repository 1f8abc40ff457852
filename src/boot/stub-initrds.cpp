#include "stub-initrds.h"

#include "log.h"

namespace korvane {

namespace {

constexpr EFI_PHYSICAL_ADDRESS BELOW_4G = 0xffffffffULL;

iovec section_in_place(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const PeSectionSpan &section) {
    return {static_cast<uint8_t *>(loaded_image->ImageBase) + section.mem_offset, section.mem_size};
}

bool align4(size_t *size) {
    size_t pad = (4 - *size % 4) % 4;
    return INC_SAFE(size, pad);
}

} // namespace

void InitrdSlots::free_owned() {
    for (size_t i = INITRD_SLOT_CREDENTIALS; i < INITRD_SLOT_COUNT; i++) {
        free_pool(slots_[i].iov_base);
        slots_[i] = {};
    }
}

void InitrdList::append(const iovec &part) {
    PoolPtr<iovec> grown(xnew<iovec>(n_ + 1));
    memcpy(grown.get(), items_.get(), n_ * sizeof(iovec));
    grown[n_] = part;
    items_ = move(grown);
    n_++;
}

void lookup_embedded_initrds(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const PeSectionSpan *sections,
                             InitrdSlots &slots) {
    if (sections[SECTION_INITRD].mem_size > 0)
        slots[INITRD_SLOT_BASE] = section_in_place(loaded_image, sections[SECTION_INITRD]);
    if (sections[SECTION_UCODE].mem_size > 0)
        slots[INITRD_SLOT_UCODE] = section_in_place(loaded_image, sections[SECTION_UCODE]);
}

void append_initrd_slots(const InitrdSlots &slots, InitrdList &list) {
    for (size_t i = 0; i < INITRD_SLOT_COUNT; i++)
        if (iovec_is_set(slots[i]))
            list.append(slots[i]);
}

EFI_STATUS combine_initrds(const InitrdList &list, Pages *ret_pages, size_t *ret_size) {
    size_t total = 0;
    for (size_t i = 0; i < list.size(); i++) {
        size_t n = list[i].iov_len;
        if (!align4(&n) || !INC_SAFE(&total, n))
            return EFI_OUT_OF_RESOURCES;
    }

    Pages pages(xmalloc_pages(AllocateMaxAddress, EfiLoaderData, efi_size_to_pages(total), BELOW_4G));
    uint8_t *p = pages.ptr<uint8_t>();
    for (size_t i = 0; i < list.size(); i++) {
        size_t n = list[i].iov_len, padded = n;
        (void)align4(&padded);
        memcpy(p, list[i].iov_base, n);
        memset(p + n, 0, padded - n);
        p += padded;
    }
    ASSERT(p == pages.ptr<uint8_t>() + total);

    *ret_pages = move(pages);
    *ret_size = total;
    return EFI_SUCCESS;
}

} // namespace korvane
