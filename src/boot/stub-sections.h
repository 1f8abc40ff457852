// Finding the stub's own sections: the base group, overlaid by the selected profile's.
#pragma once

#include "efi/loaded-image.h"
#include "pe.h"

namespace korvane {

// Fills sections[IMAGE_SECTION_COUNT]; logs and returns the status of a fatal failure.
EFI_STATUS find_sections(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, uint32_t profile, PeSectionSpan *sections);

} // namespace korvane
