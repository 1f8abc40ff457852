#include "stub-sections.h"

#include "efi-string.h"
#include "log.h"
#include "measure.h"
#include "util.h"

namespace korvane {

EFI_STATUS find_sections(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, uint32_t profile, PeSectionSpan *sections) {
    ASSERT(loaded_image->ImageBase);
    size_t n = 0;
    const PeSectionHeader *table = pe_section_table_from_base(loaded_image->ImageBase, loaded_image->ImageSize, &n);
    if (!table)
        return log_error(EFI_LOAD_ERROR, "Unable to locate PE section table: %m");

    auto base = reinterpret_cast<uintptr_t>(loaded_image->ImageBase);
    EFI_STATUS err = pe_locate_profile_sections(table, n, PROFILE_BASE, base, sections);
    if (err != EFI_SUCCESS)
        return log_error(err, "Unable to locate embedded base PE sections: %m");

    if (profile != PROFILE_BASE) {
        err = pe_locate_profile_sections(table, n, profile, base, sections);
        // Profile 0 is asked for by default; an image without profiles just has none.
        if (err != EFI_SUCCESS && !(err == EFI_NOT_FOUND && profile == 0))
            return log_error(err, "Unable to locate embedded per-profile PE sections: %m");
    }

    if (sections[SECTION_LINUX].mem_size == 0)
        return log_error(EFI_NOT_FOUND, "Image lacks .linux section.");
    return EFI_SUCCESS;
}

void measure_profile(uint32_t profile, int *parameters_measured) {
    if (profile == 0)
        return;
    PoolPtr<char16_t> text(xformat("%u", profile));
    bool measured = false;
    (void)tpm_log_tagged_event(PCR_KERNEL_PARAMETERS, reinterpret_cast<uintptr_t>(text.get()),
                               (str16_len(text.get()) + 1) * sizeof(char16_t), TAG_PROFILE_NUMBER, text.get(),
                               &measured);
    *parameters_measured = measured;
}

void measure_sections(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const PeSectionSpan *sections,
                      int *image_measured) {
    *image_measured = -1;
    auto base = reinterpret_cast<uintptr_t>(loaded_image->ImageBase);
    SectionMeasurement measurements[SECTION_MEASUREMENTS_MAX];
    size_t n = pe_section_measurements(sections, measurements);
    for (size_t i = 0; i < n; i++) {
        const SectionMeasurement &m = measurements[i];
        uintptr_t data = m.data ? reinterpret_cast<uintptr_t>(m.data) : base + m.offset;
        bool measured = false;
        (void)tpm_log_ipl_event_str8(PCR_KERNEL_IMAGE, data, m.size, m.description, &measured);
        merge_measured(image_measured, measured);
    }
}

} // namespace korvane
