// The boot loader interface variables the stub publishes for the booted system: where it was
// loaded from, which firmware and stub ran, the profile, and which PCRs hold its measurements.
// Every write is volatile; a failed write is passed over.
#pragma once

#include "efi/efi.h"
#include "efi/loaded-image.h"

namespace korvane {

// The build's identification, as StubInfo publishes it.
#define KORVANE_STUB_INFO "korvane-stub " KORVANE_VERSION

// LoaderDevicePartUUID, LoaderImageIdentifier, LoaderFirmwareInfo and LoaderFirmwareType, each
// only when a boot loader before us did not set it.
void export_common_variables(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image);

// StubInfo, StubFeatures, StubProfile, StubDevicePartUUID and StubImageIdentifier.
void export_stub_variables(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, unsigned profile);

// The StubPcr variables of the measurement flags (see merge_measured) that ended at 1.
void export_pcr_variables(int kernel_image_measured, int kernel_params_measured, int sysext_initrd_measured,
                          int confext_initrd_measured);

} // namespace korvane
