#include "export-vars.h"

#include "device-path-util.h"
#include "efi-string.h"
#include "efivars.h"
#include "firmware.h"
#include "measure.h"
#include "part-discovery.h"
#include "stub-features.h"
#include "util.h"

namespace korvane {

namespace {

bool loader_variable_is_set(const char16_t *name) {
    return variable_get_raw(LOADER_VENDOR_GUID, name, nullptr, nullptr) == EFI_SUCCESS;
}

void export_partition_uuid(const char16_t *name, const EFI_LOADED_IMAGE_PROTOCOL *loaded_image) {
    if (!loaded_image->DeviceHandle)
        return;
    PoolPtr<char16_t> uuid(device_partition_uuid(loaded_image->DeviceHandle));
    if (uuid)
        (void) variable_set_string(LOADER_VENDOR_GUID, name, uuid.get());
}

// A path that converts to no text (only the end node) deletes the variable.
void export_image_identifier(const char16_t *name, const EFI_LOADED_IMAGE_PROTOCOL *loaded_image) {
    if (!loaded_image->FilePath)
        return;
    PoolPtr<char16_t> text;
    if (device_path_to_str(loaded_image->FilePath, text.out()) == EFI_SUCCESS)
        (void) variable_set_string(LOADER_VENDOR_GUID, name, text.get());
}

void export_formatted(const char16_t *name, PoolPtr<char16_t> text) {
    (void) variable_set_string(LOADER_VENDOR_GUID, name, text.get());
}

void export_pcr(const char16_t *name, int measured, UINT32 pcr) {
    if (measured == 1)
        (void) variable_set_decimal(LOADER_VENDOR_GUID, name, pcr);
}

} // namespace

void export_common_variables(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image) {
    ASSERT(loaded_image);
    if (!loader_variable_is_set(u"LoaderDevicePartUUID"))
        export_partition_uuid(u"LoaderDevicePartUUID", loaded_image);
    if (!loader_variable_is_set(u"LoaderImageIdentifier"))
        export_image_identifier(u"LoaderImageIdentifier", loaded_image);
    if (!loader_variable_is_set(u"LoaderFirmwareInfo"))
        export_formatted(u"LoaderFirmwareInfo", PoolPtr<char16_t>(xformat("%ls %u.%02u", ST->FirmwareVendor,
                                                                          ST->FirmwareRevision >> 16,
                                                                          ST->FirmwareRevision & 0xffff)));
    if (!loader_variable_is_set(u"LoaderFirmwareType"))
        export_formatted(u"LoaderFirmwareType",
                         PoolPtr<char16_t>(xformat("UEFI %u.%02u", ST->Hdr.Revision >> 16, ST->Hdr.Revision & 0xffff)));
}

void export_stub_variables(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, unsigned profile) {
    ASSERT(loaded_image);
    export_formatted(u"StubInfo", PoolPtr<char16_t>(xformat("%s", KORVANE_STUB_INFO)));
    (void) variable_set_u64(LOADER_VENDOR_GUID, u"StubFeatures", STUB_FEATURES_ALL);
    (void) variable_set_decimal(LOADER_VENDOR_GUID, u"StubProfile", profile);
    export_partition_uuid(u"StubDevicePartUUID", loaded_image);
    export_image_identifier(u"StubImageIdentifier", loaded_image);
}

void export_pcr_variables(int kernel_image_measured, int kernel_params_measured, int sysext_initrd_measured,
                          int confext_initrd_measured) {
    export_pcr(u"StubPcrKernelImage", kernel_image_measured, PCR_KERNEL_IMAGE);
    export_pcr(u"StubPcrKernelParameters", kernel_params_measured, PCR_KERNEL_PARAMETERS);
    export_pcr(u"StubPcrInitRDSysExts", sysext_initrd_measured, PCR_INITRD_SYSEXTS);
    // Configuration extensions are measured together with the kernel's parameters.
    export_pcr(u"StubPcrInitRDConfExts", confext_initrd_measured, PCR_KERNEL_PARAMETERS);
}

} // namespace korvane
