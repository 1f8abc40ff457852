// The devicetrees the kernel receives: the image's own (.dtbauto before .dtb), then each
// devicetree add-on on top of it, all through one installation state that puts the firmware's
// table back when the boot returns.
#pragma once

#include "devicetree.h"
#include "efi/loaded-image.h"
#include "pe.h"
#include "stub-addons.h"

namespace korvane {

// The installation state of one boot; restores the firmware's table when it goes.
class DevicetreeInstall {
public:
    DevicetreeInstall() = default;
    DevicetreeInstall(const DevicetreeInstall &) = delete;
    DevicetreeInstall &operator=(const DevicetreeInstall &) = delete;
    ~DevicetreeInstall() { devicetree_restore(&state_); }

    DtInstallState *state() { return &state_; }

private:
    DtInstallState state_ = {};
};

// Installs .dtbauto, else .dtb, when present; a failure is logged and passed over. Not measured
// here: the section was measured with all the others.
void install_embedded_devicetree(DevicetreeInstall &install, const EFI_LOADED_IMAGE_PROTOCOL *loaded_image,
                                 const PeSectionSpan sections[IMAGE_SECTION_COUNT]);

// Installs each add-on devicetree in order and measures those that installed into PCR 12;
// failures are logged and the next one is tried.
void install_addon_devicetrees(DevicetreeInstall &install, const NamedAddonList &devicetrees,
                               int *parameters_measured);

} // namespace korvane
