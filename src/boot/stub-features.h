// What this stub announces in StubFeatures: one bit per capability that the booted system or
// its tools may look for. The assignment is shared with those consumers; bits only ever get
// added, never moved.
#pragma once

#include <stdint.h>

namespace korvane {

// Publishes the GUID of the partition it was loaded from as StubDevicePartUUID.
constexpr uint64_t STUB_FEATURE_REPORT_BOOT_PARTITION = UINT64_C(1) << 0;
// Packs credentials from "\loader\credentials" and from the image's ".extra.d" directory.
constexpr uint64_t STUB_FEATURE_PICK_UP_CREDENTIALS = UINT64_C(1) << 1;
// Packs system extension images from the image's ".extra.d" directory.
constexpr uint64_t STUB_FEATURE_PICK_UP_SYSEXTS = UINT64_C(1) << 2;
// Measures the kernel image, its parameters and the extension images, and publishes the
// StubPcr variables that name the PCRs.
constexpr uint64_t STUB_FEATURE_MEASURED_PCRS = UINT64_C(1) << 3;
// Refreshes the random seed file on the ESP and hands the kernel a seed table.
constexpr uint64_t STUB_FEATURE_RANDOM_SEED = UINT64_C(1) << 4;
// Packs configuration extension images from the image's ".extra.d" directory.
constexpr uint64_t STUB_FEATURE_PICK_UP_CONFEXTS = UINT64_C(1) << 5;
// Boots multi-profile images, the profile selected with "@N", and publishes StubProfile.
constexpr uint64_t STUB_FEATURE_MULTI_PROFILE = UINT64_C(1) << 6;
// Chooses a devicetree for the machine by its hardware IDs (".dtbauto" with ".hwids").
constexpr uint64_t STUB_FEATURE_DEVICETREE_BY_HWID = UINT64_C(1) << 7;
// Loads add-ons from "\loader\addons" and from the image's ".extra.d" directory.
constexpr uint64_t STUB_FEATURE_ADDONS = UINT64_C(1) << 8;
// Publishes its own file path as StubImageIdentifier.
constexpr uint64_t STUB_FEATURE_REPORT_IMAGE_IDENTIFIER = UINT64_C(1) << 9;
// Appends command-line text from the SMBIOS OEM string "io.korvane.stub.kernel-cmdline-extra".
constexpr uint64_t STUB_FEATURE_CMDLINE_SMBIOS = UINT64_C(1) << 10;

constexpr uint64_t STUB_FEATURES_ALL =
    STUB_FEATURE_REPORT_BOOT_PARTITION | STUB_FEATURE_PICK_UP_CREDENTIALS | STUB_FEATURE_PICK_UP_SYSEXTS |
    STUB_FEATURE_MEASURED_PCRS | STUB_FEATURE_RANDOM_SEED | STUB_FEATURE_PICK_UP_CONFEXTS |
    STUB_FEATURE_MULTI_PROFILE | STUB_FEATURE_DEVICETREE_BY_HWID | STUB_FEATURE_ADDONS |
    STUB_FEATURE_REPORT_IMAGE_IDENTIFIER | STUB_FEATURE_CMDLINE_SMBIOS;
static_assert(STUB_FEATURES_ALL == 0x7FF);

} // namespace korvane
