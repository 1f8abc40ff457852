// The boot splash: the .splash bitmap (BMP) centred on a background-filled screen through the
// graphics output protocol, and the console-control switch between text and graphics mode.
// Nothing here can stop the boot: every failure only ends the splash and is returned.
#pragma once

#include "efi/efi.h"
#include "efi/loaded-image.h"
#include "pe.h"

namespace korvane {

// Shows the .splash section of `sections` (laid out from `loaded_image`'s base) when it is
// present; the outcome is ignored.
void display_splash(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const PeSectionSpan sections[IMAGE_SECTION_COUNT]);

// Draws the BMP of `length` bytes at `content`; reads nothing outside it. Header faults give
// EFI_INVALID_PARAMETER, a bit depth or compression it does not draw EFI_UNSUPPORTED; firmware
// failures are passed up.
EFI_STATUS graphics_splash(const void *content, size_t length);

// Switches the console-control screen mode to graphics (`on`) or text, pausing for pending
// messages first. Success when there is no console-control protocol or the mode is already right.
EFI_STATUS set_console_graphics(bool on);

} // namespace korvane
