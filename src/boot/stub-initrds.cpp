#include "stub-initrds.h"

#include "log.h"
#include "measure.h"

namespace korvane {

namespace {

constexpr EFI_PHYSICAL_ADDRESS BELOW_4G = 0xffffffffULL;

iovec section_in_place(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const PeSectionSpan &section) {
    return {static_cast<uint8_t *>(loaded_image->ImageBase) + section.mem_offset, section.mem_size};
}

struct EmbeddedFile {
    ImageSection section;
    InitrdSlot slot;
    const char16_t *file_name;
};

constexpr EmbeddedFile embedded_files[] = {
    {SECTION_PCRSIG, INITRD_SLOT_PCRSIG, u"tpm2-pcr-signature.json"},
    {SECTION_PCRPKEY, INITRD_SLOT_PCRPKEY, u"tpm2-pcr-public-key.pem"},
    {SECTION_PROFILE, INITRD_SLOT_PROFILE, u"profile"},
    {SECTION_OSREL, INITRD_SLOT_OSREL, u"os-release"},
};

void measure_and_append_addon(InitrdList &list, const NamedAddon &addon, uint32_t tag, int *parameters_measured) {
    bool measured = false;
    (void)tpm_log_tagged_event(PCR_KERNEL_PARAMETERS, reinterpret_cast<uintptr_t>(addon.data.iov_base),
                               addon.data.iov_len, tag, addon.file_name, &measured);
    merge_measured(parameters_measured, measured);
    if (iovec_is_set(addon.data))
        list.append(addon.data);
}

bool align4(size_t *size) {
    size_t pad = (4 - *size % 4) % 4;
    return INC_SAFE(size, pad);
}

} // namespace

void InitrdSlots::adopt(size_t i, CpioPages &archive) {
    ASSERT(i >= INITRD_SLOT_CREDENTIALS && i < INITRD_SLOT_COUNT && !iovec_is_set(slots_[i]));
    slots_[i] = archive.bytes();
    n_pages_[i] = archive.pages.release().n_pages;
}

void InitrdSlots::free_owned() {
    for (size_t i = INITRD_SLOT_CREDENTIALS; i < INITRD_SLOT_COUNT; i++) {
        PageAllocation pages = {reinterpret_cast<uintptr_t>(slots_[i].iov_base), n_pages_[i]};
        if (pages.n_pages != 0)
            free_pages(&pages);
        else
            free_pool(slots_[i].iov_base);
        slots_[i] = {};
        n_pages_[i] = 0;
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

void generate_sidecar_initrds(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, InitrdSlots &slots,
                              const SidecarMeasured &measured) {
    struct Pass {
        InitrdSlot slot;
        CpioPackRequest request;
    };
    static constexpr Pass passes[] = {
        {INITRD_SLOT_CREDENTIALS,
         {nullptr, u".cred", nullptr, ".extra/credentials", 0500, 0400, PCR_KERNEL_PARAMETERS, u"Credentials initrd"}},
        {INITRD_SLOT_GLOBAL_CREDENTIALS,
         {u"\\loader\\credentials", u".cred", nullptr, ".extra/global_credentials", 0500, 0400,
          PCR_KERNEL_PARAMETERS, u"Global credentials initrd"}},
        {INITRD_SLOT_SYSEXT,
         {nullptr, u".raw", u".confext.raw", ".extra/sysext", 0555, 0444, PCR_INITRD_SYSEXTS,
          u"System extension initrd"}},
        {INITRD_SLOT_CONFEXT,
         {nullptr, u".confext.raw", nullptr, ".extra/confext", 0555, 0444, PCR_KERNEL_PARAMETERS,
          u"Configuration extension initrd"}},
    };
    for (const Pass &pass : passes) {
        bool m = false;
        CpioPages archive;
        EFI_STATUS err = pack_cpio(loaded_image, pass.request, &archive, &m);
        if (archive.pages)
            slots.adopt(pass.slot, archive);
        if (pass.slot == INITRD_SLOT_SYSEXT)
            *measured.sysext = err == EFI_SUCCESS ? m : -1;
        else if (pass.slot == INITRD_SLOT_CONFEXT)
            *measured.confext = err == EFI_SUCCESS ? m : -1;
        else if (err == EFI_SUCCESS)
            merge_measured(measured.parameters, m);
    }
}

void generate_embedded_initrds(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const PeSectionSpan *sections,
                               InitrdSlots &slots) {
    for (const EmbeddedFile &f : embedded_files) {
        if (sections[f.section].mem_size == 0)
            continue;
        iovec content = section_in_place(loaded_image, sections[f.section]);
        // A failure is logged by the packer; the part is left out.
        (void)pack_cpio_literal(content.iov_base, content.iov_len, ".extra", f.file_name, 0555, 0444,
                                &slots[f.slot]);
    }
}

void measure_and_append_ucode_addons(InitrdList &list, const NamedAddonList &addons, int *parameters_measured) {
    for (size_t i = addons.size(); i > 0; i--)
        measure_and_append_addon(list, addons[i - 1], TAG_UCODE_ADDON, parameters_measured);
}

void measure_and_append_initrd_addons(InitrdList &list, const NamedAddonList &addons, int *parameters_measured) {
    for (size_t i = 0; i < addons.size(); i++)
        measure_and_append_addon(list, addons[i], TAG_INITRD_ADDON, parameters_measured);
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

    // The parts from the ESP decide the total: pages the firmware cannot give end the boot
    // with a status rather than halting it.
    Pages pages(try_malloc_pages(AllocateMaxAddress, EfiLoaderData, efi_size_to_pages(total), BELOW_4G));
    if (!pages)
        return log_error(EFI_OUT_OF_RESOURCES, "Failed to allocate %zu bytes below 4 GiB for the initrd: %m", total);
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
