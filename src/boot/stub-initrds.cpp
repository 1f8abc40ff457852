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

bool add_padded(size_t *total, const iovec &part) {
    size_t n = part.iov_len;
    return !iovec_is_set(part) || (align4(&n) && INC_SAFE(total, n));
}

bool add_addons(size_t *total, const NamedAddonList &addons) {
    for (size_t i = 0; i < addons.size(); i++)
        if (!add_padded(total, addons[i].data))
            return false;
    return true;
}

bool add_slots(size_t *total, const InitrdSlots &slots, size_t first, size_t end) {
    for (size_t i = first; i < end; i++)
        if (!add_padded(total, slots[i]))
            return false;
    return true;
}

// Pages below 4 GiB for the whole combined initrd, when the plans have something to pack and
// the firmware has them; returns where the archives go in them, else null.
uint8_t *reserve_combined(const CombinedInitrd *combined, const CpioPlan *plans, size_t n) {
    if (!combined)
        return nullptr;
    size_t total = combined->before, sidecars = 0;
    for (size_t i = 0; i < n; i++)
        if (!INC_SAFE(&sidecars, plans[i].room))
            return nullptr;
    if (sidecars == 0 || !INC_SAFE(&total, sidecars) || !INC_SAFE(&total, combined->after))
        return nullptr;
    *combined->pages = Pages(try_malloc_pages(AllocateMaxAddress, EfiLoaderData, efi_size_to_pages(total), BELOW_4G));
    return *combined->pages ? combined->pages->ptr<uint8_t>() + combined->before : nullptr;
}

} // namespace

bool plan_combined_initrd(const InitrdSlots &slots, const NamedAddonList &ucode_addons,
                          const NamedAddonList &initrd_addons, CombinedInitrd *ret) {
    ret->before = ret->after = 0;
    return add_addons(&ret->before, ucode_addons) &&
           add_slots(&ret->before, slots, INITRD_SLOT_UCODE, INITRD_SLOT_CREDENTIALS) &&
           add_slots(&ret->after, slots, INITRD_SLOT_PCRSIG, INITRD_SLOT_COUNT) &&
           add_addons(&ret->after, initrd_addons);
}

void InitrdSlots::adopt(size_t i, CpioPages &archive) {
    slots_[i] = archive.bytes();
    n_pages_[i] = archive.pages.release().n_pages;
    memory_[i] = Memory::PAGES;
}

void InitrdSlots::place(size_t i, iovec bytes) {
    slots_[i] = bytes;
    memory_[i] = Memory::PLACED;
}

void InitrdSlots::free_owned() {
    for (size_t i = INITRD_SLOT_CREDENTIALS; i < INITRD_SLOT_COUNT; i++) {
        PageAllocation pages = {reinterpret_cast<uintptr_t>(slots_[i].iov_base), n_pages_[i]};
        if (memory_[i] == Memory::PAGES)
            free_pages(&pages);
        else if (memory_[i] == Memory::POOL)
            free_pool(slots_[i].iov_base);
        slots_[i] = {};
        n_pages_[i] = 0;
        memory_[i] = Memory::POOL;
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
                              const SidecarMeasured &measured, const CombinedInitrd *combined) {
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
    constexpr size_t N = sizeof(passes) / sizeof(passes[0]);
    CpioPlan plans[N];
    EFI_STATUS planned[N];
    for (size_t i = 0; i < N; i++)
        planned[i] = plan_cpio(loaded_image, passes[i].request, &plans[i]);
    uint8_t *place = reserve_combined(combined, plans, N);

    for (size_t i = 0; i < N; i++) {
        const Pass &pass = passes[i];
        bool m = false;
        EFI_STATUS err = planned[i];
        if (err == EFI_SUCCESS && plans[i].room > 0) {
            CpioPages archive;
            size_t size = 0;
            err = pack_cpio_planned(plans[i], pass.request, place, &archive, &size, &m);
            if (err == EFI_SUCCESS && place) {
                slots.place(pass.slot, {place, size});
                place += size;
            } else if (err == EFI_SUCCESS) {
                slots.adopt(pass.slot, archive);
            }
        }
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
    for (size_t i = 0; i < list.size(); i++)
        if (!add_padded(&total, list[i]))
            return EFI_OUT_OF_RESOURCES;

    // The parts from the ESP decide the total: pages the firmware cannot give end the boot
    // with a status rather than halting it.
    if (!*ret_pages)
        *ret_pages = Pages(try_malloc_pages(AllocateMaxAddress, EfiLoaderData, efi_size_to_pages(total), BELOW_4G));
    if (!*ret_pages)
        return log_error(EFI_OUT_OF_RESOURCES, "Failed to allocate %zu bytes below 4 GiB for the initrd: %m", total);
    ASSERT(total <= ret_pages->n_pages() * EFI_PAGE_SIZE);
    uint8_t *start = ret_pages->ptr<uint8_t>(), *p = start;
    for (size_t i = 0; i < list.size(); i++) {
        size_t n = list[i].iov_len, padded = n;
        (void)align4(&padded);
        // What was packed into the pages is already where it belongs.
        if (list[i].iov_base != p)
            memcpy(p, list[i].iov_base, n);
        memset(p + n, 0, padded - n);
        p += padded;
    }
    ASSERT(p == start + total);
    *ret_size = total;
    return EFI_SUCCESS;
}

} // namespace korvane
