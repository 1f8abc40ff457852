// Whether the firmware's image authentication is back in force once the probe runs: the
// Secure Boot state, where the authentication hooks point, and what LoadImage says to an
// unsigned image that the probe carries.
#pragma once

#include "../report.h"
#include "boot/efi/loaded-image.h"

namespace korvane::vmtest {

//   secure-boot                       hex of the SecureBoot variable, or "none"
//   security-arch, security2-arch     whether the firmware has the protocol
//   security-arch.hook-in-parent      whether its hook points into the image that loaded the
//   security2-arch.hook-in-parent     probe (the stub), i.e. whether an override was left behind
//   unsigned-image.load-status        LoadImage's status for the unsigned image
void report_image_authentication(Report &report, EFI_HANDLE image, const EFI_LOADED_IMAGE_PROTOCOL *loaded_image);

} // namespace korvane::vmtest
