// Finding the stub's own sections: the base group, overlaid by the selected profile's.
#pragma once

#include "efi/loaded-image.h"
#include "pe.h"

namespace korvane {

// Fills sections[IMAGE_SECTION_COUNT]; logs and returns the status of a fatal failure.
EFI_STATUS find_sections(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, uint32_t profile, PeSectionSpan *sections);

// Measures a selected profile's number into PCR 12; nothing for profile 0.
void measure_profile(uint32_t profile, int *parameters_measured);

// Measures every present section but ".pcrsig" into PCR 11: its name, then its contents.
void measure_sections(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const PeSectionSpan *sections,
                      int *image_measured);

} // namespace korvane
