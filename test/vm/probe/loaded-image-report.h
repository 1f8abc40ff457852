// What the probe's own loaded image says: the device path it was loaded under and the load
// options it was given, which for a kernel are its command line.
#pragma once

#include "../report.h"
#include "boot/efi/loaded-image.h"

namespace korvane::vmtest {

//   image.device-path   hex of the loaded image device path, end node included, or "none"
//   image.file-path     hex of the loaded image's FilePath, end node included, or "none"
//   load-options.size   LoadOptionsSize
//   load-options.hex    the LoadOptionsSize bytes at LoadOptions (absent when there are none)
//   load-options.text   the options as UTF-16 text up to the first NUL (absent likewise)
void report_loaded_image(Report &report, EFI_HANDLE image, const EFI_LOADED_IMAGE_PROTOCOL *loaded_image);

} // namespace korvane::vmtest
