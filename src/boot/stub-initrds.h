// The parts of the one initrd the kernel receives, and their combination.
#pragma once

#include "cpio.h"
#include "efi/loaded-image.h"
#include "pe.h"
#include "stub-addons.h"
#include "util.h"

namespace korvane {

enum InitrdSlot {
    INITRD_SLOT_UCODE,
    INITRD_SLOT_BASE,
    INITRD_SLOT_CREDENTIALS,
    INITRD_SLOT_GLOBAL_CREDENTIALS,
    INITRD_SLOT_SYSEXT,
    INITRD_SLOT_CONFEXT,
    INITRD_SLOT_PCRSIG,
    INITRD_SLOT_PCRPKEY,
    INITRD_SLOT_OSREL,
    INITRD_SLOT_PROFILE,
    INITRD_SLOT_COUNT,
};

// Slots 0 and 1 point into the loaded image; the others are memory owned here (the pages of
// an archive given to adopt, else pool) or, when placed, part of the combined initrd.
class InitrdSlots {
public:
    InitrdSlots() = default;
    InitrdSlots(const InitrdSlots &) = delete;
    InitrdSlots &operator=(const InitrdSlots &) = delete;
    ~InitrdSlots() { free_owned(); }

    iovec &operator[](size_t i) { return slots_[i]; }
    const iovec &operator[](size_t i) const { return slots_[i]; }
    // Takes over the archive's pages.
    void adopt(size_t i, CpioPages &archive);
    // Bytes already where the combined initrd holds them; not released here.
    void place(size_t i, iovec bytes);
    void free_owned();

private:
    enum class Memory : uint8_t { POOL, PAGES, PLACED };
    iovec slots_[INITRD_SLOT_COUNT] = {};
    size_t n_pages_[INITRD_SLOT_COUNT] = {};
    Memory memory_[INITRD_SLOT_COUNT] = {};
};

// The parts in hand-over order; refers to memory it does not own.
class InitrdList {
public:
    InitrdList() = default;
    InitrdList(const InitrdList &) = delete;
    InitrdList &operator=(const InitrdList &) = delete;

    void append(const iovec &part);
    size_t size() const { return n_; }
    const iovec &operator[](size_t i) const { return items_[i]; }

private:
    PoolPtr<iovec> items_;
    size_t n_ = 0;
};

// The measurement flags of the sidecar archives.
struct SidecarMeasured {
    int *parameters;
    int *sysext;
    int *confext;
};

// The combined initrd begun before the sidecar archives are packed, so that they are read
// straight into their place in it: `before` and `after` are the bytes of the parts that go
// in front of them and behind them, each padded to a multiple of 4.
struct CombinedInitrd {
    Pages *pages;
    size_t before;
    size_t after;
};

// The bytes in front of the sidecar archives and behind them, once the embedded parts and the
// add-ons are known; false when a sum overflows.
bool plan_combined_initrd(const InitrdSlots &slots, const NamedAddonList &ucode_addons,
                          const NamedAddonList &initrd_addons, CombinedInitrd *ret);

// Credentials, global credentials, system and configuration extensions beside the image. With
// `combined`, when there is a sidecar and pages below 4 GiB for all of the initrd, they are
// allocated into combined->pages and the archives packed in their place there; else each archive
// gets pages of its own.
void generate_sidecar_initrds(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, InitrdSlots &slots,
                              const SidecarMeasured &measured, const CombinedInitrd *combined = nullptr);

// ".pcrsig", ".pcrpkey", ".profile" and ".osrel" as one-file archives under ".extra".
void generate_embedded_initrds(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const PeSectionSpan *sections,
                               InitrdSlots &slots);
void lookup_embedded_initrds(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const PeSectionSpan *sections,
                             InitrdSlots &slots);
void append_initrd_slots(const InitrdSlots &slots, InitrdList &list);

// Microcode add-ons go first, the last one first; initrd add-ons last, in add-on order.
void measure_and_append_ucode_addons(InitrdList &list, const NamedAddonList &addons, int *parameters_measured);
void measure_and_append_initrd_addons(InitrdList &list, const NamedAddonList &addons, int *parameters_measured);

// Copies the parts, each zero-filled to a multiple of 4, into pages below 4 GiB: into
// *ret_pages when they are already allocated (a part already in its place there is not
// copied), else into new ones. EFI_OUT_OF_RESOURCES when the total size overflows or (logged)
// the firmware has no pages for it.
EFI_STATUS combine_initrds(const InitrdList &list, Pages *ret_pages, size_t *ret_size);

} // namespace korvane
