#include "stub.h"

#include "efi/loaded-image.h"
#include "export-vars.h"
#include "firmware.h"
#include "linux.h"
#include "log.h"
#include "pe.h"
#include "random-seed.h"
#include "splash.h"
#include "stub-addons.h"
#include "stub-cmdline.h"
#include "stub-devicetree.h"
#include "stub-initrds.h"
#include "stub-sections.h"
#include "util.h"

namespace korvane {

namespace {

// What run owns. Members are released in reverse order of declaration, which is the
// clean-up order the boot relies on: the firmware's devicetree comes back last.
struct BootState {
    DevicetreeInstall devicetree;
    EFI_LOADED_IMAGE_PROTOCOL *loaded_image = nullptr;
    uint32_t profile = 0;
    PoolPtr<char16_t> cmdline;
    PoolPtr<char16_t> addon_cmdline;
    PeSectionSpan sections[IMAGE_SECTION_COUNT] = {};
    int kernel_image_measured = -1;
    int kernel_params_measured = -1;
    int sysext_initrd_measured = -1;
    int confext_initrd_measured = -1;
    InitrdSlots initrd_slots;
    PoolPtr<char> uname;
    InitrdList initrds;
    AddonPayloads addons;
    Pages combined_initrd;
};

iovec section_iovec(const BootState &s, ImageSection kind) {
    return {static_cast<uint8_t *>(s.loaded_image->ImageBase) + s.sections[kind].mem_offset,
            s.sections[kind].mem_size};
}

// The one initrd for the kernel: a single part in place, several parts combined.
EFI_STATUS final_initrd(BootState &s, iovec *ret) {
    *ret = {};
    if (s.initrds.size() == 1)
        *ret = s.initrds[0];
    if (s.initrds.size() <= 1)
        return EFI_SUCCESS;
    size_t size = 0;
    EFI_STATUS err = combine_initrds(s.initrds, &s.combined_initrd, &size);
    if (err != EFI_SUCCESS)
        return err;
    // The copies are all the kernel needs now.
    s.initrd_slots.free_owned();
    *ret = {s.combined_initrd.ptr(), size};
    return EFI_SUCCESS;
}

} // namespace

EFI_STATUS run(EFI_HANDLE image) {
    ASSERT(image);
    BootState s;

    EFI_STATUS err =
        BS->HandleProtocol(image, &EFI_LOADED_IMAGE_PROTOCOL_GUID, reinterpret_cast<void **>(&s.loaded_image));
    if (err != EFI_SUCCESS)
        return log_error(err, "Error getting a LoadedImageProtocol handle: %m");

    process_arguments(image, s.loaded_image, &s.profile, &s.cmdline);

    err = find_sections(s.loaded_image, s.profile, s.sections);
    if (err != EFI_SUCCESS)
        return err;

    measure_profile(s.profile, &s.kernel_params_measured);
    measure_sections(s.loaded_image, s.sections, &s.kernel_image_measured);
    display_splash(s.loaded_image, s.sections);
    refresh_random_seed(s.loaded_image);

    if (s.sections[SECTION_UNAME].mem_size > 0)
        s.uname.reset(pe_section_to_str8(s.loaded_image, &s.sections[SECTION_UNAME]));

    settle_command_line(s.loaded_image, s.sections, &s.cmdline, &s.kernel_params_measured);
    load_all_addons(image, s.loaded_image, s.uname.get(), &s.addons);
    // Kept apart from the add-on lists: it outlives the initrd slots.
    s.addon_cmdline.reset(s.addons.cmdline.release());
    cmdline_append_addons(s.addon_cmdline.get(), &s.cmdline, &s.kernel_params_measured);
    cmdline_append_smbios(&s.cmdline, &s.kernel_params_measured);
    export_common_variables(s.loaded_image);
    export_stub_variables(s.loaded_image, s.profile);
    install_embedded_devicetree(s.devicetree, s.loaded_image, s.sections);
    install_addon_devicetrees(s.devicetree, s.addons.devicetrees, &s.kernel_params_measured);

    // The archives of the files beside the image are packed last, straight into the combined
    // initrd, once the parts around them are known.
    generate_embedded_initrds(s.loaded_image, s.sections, s.initrd_slots);
    lookup_embedded_initrds(s.loaded_image, s.sections, s.initrd_slots);
    CombinedInitrd combined = {&s.combined_initrd, 0, 0};
    bool plannable = plan_combined_initrd(s.initrd_slots, s.addons.ucodes, s.addons.initrds, &combined);
    generate_sidecar_initrds(s.loaded_image, s.initrd_slots,
                             {&s.kernel_params_measured, &s.sysext_initrd_measured, &s.confext_initrd_measured},
                             plannable ? &combined : nullptr);
    measure_and_append_ucode_addons(s.initrds, s.addons.ucodes, &s.kernel_params_measured);
    append_initrd_slots(s.initrd_slots, s.initrds);
    measure_and_append_initrd_addons(s.initrds, s.addons.initrds, &s.kernel_params_measured);
    export_pcr_variables(s.kernel_image_measured, s.kernel_params_measured, s.sysext_initrd_measured,
                         s.confext_initrd_measured);

    iovec initrd;
    err = final_initrd(s, &initrd);
    if (err != EFI_SUCCESS)
        return err;

    err = linux_exec(image, s.cmdline.get(), section_iovec(s, SECTION_LINUX), initrd);
    (void)set_console_graphics(false);
    return err;
}

} // namespace korvane

// Runs before and after the guard changes, so its frame is not checked against it.
extern "C" __attribute__((no_stack_protector)) EFI_STATUS EFIAPI stub_entry(EFI_HANDLE image,
                                                                          EFI_SYSTEM_TABLE *system_table) {
    korvane::firmware_init(system_table);
    korvane::stack_guard_init();
    EFI_STATUS status = korvane::run(image);
    korvane::log_stall();
    return status;
}
