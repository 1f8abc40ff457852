#include "stub-devicetree.h"

#include "log.h"
#include "measure.h"

namespace korvane {

void install_embedded_devicetree(DevicetreeInstall &install, const EFI_LOADED_IMAGE_PROTOCOL *loaded_image,
                                 const PeSectionSpan sections[IMAGE_SECTION_COUNT]) {
    const PeSectionSpan &dtbauto = sections[SECTION_DTBAUTO];
    const PeSectionSpan &section = dtbauto.mem_size > 0 ? dtbauto : sections[SECTION_DTB];
    if (section.mem_size == 0)
        return;
    const uint8_t *blob = static_cast<const uint8_t *>(loaded_image->ImageBase) + section.mem_offset;
    EFI_STATUS err = devicetree_install_from_memory(install.state(), blob, section.mem_size);
    if (err != EFI_SUCCESS)
        log_error(err, "Error loading embedded devicetree, ignoring: %m");
}

void install_addon_devicetrees(DevicetreeInstall &install, const NamedAddonList &devicetrees,
                               int *parameters_measured) {
    for (size_t i = 0; i < devicetrees.size(); i++) {
        const NamedAddon &addon = devicetrees[i];
        EFI_STATUS err = devicetree_install_from_memory(install.state(), addon.data.iov_base, addon.data.iov_len);
        if (err != EFI_SUCCESS) {
            log_error(err, "Error loading addon devicetree, ignoring: %m");
            continue;
        }
        bool measured = false;
        (void)tpm_log_tagged_event(PCR_KERNEL_PARAMETERS, reinterpret_cast<uintptr_t>(addon.data.iov_base),
                                   addon.data.iov_len, TAG_DEVICETREE_ADDON, addon.file_name, &measured);
        merge_measured(parameters_measured, measured);
    }
}

} // namespace korvane
