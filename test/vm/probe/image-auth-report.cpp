#include "image-auth-report.h"

#include "boot/efi/global-variable.h"
#include "boot/efi/security-arch.h"
#include "boot/firmware.h"

namespace korvane::vmtest {

namespace {

// A minimal EFI application (payload.cpp), unsigned, as the build linked it.
const uint8_t unsigned_image[] = {
#include "probe-payload.inc"
};

// Its own vendor node, so that nothing could take it for the stub's kernel.
constexpr EFI_GUID UNSIGNED_IMAGE_VENDOR = {
    0x6b1f0f5e, 0x3d2a, 0x4c57, {0x9e, 0x41, 0x0a, 0x7d, 0x52, 0xc3, 0x18, 0x96}};

void report_secure_boot(Report &report) {
    uint8_t value[16];
    UINTN size = sizeof(value);
    UINT32 attributes = 0;
    EFI_STATUS err = RT->GetVariable(u"SecureBoot", &EFI_GLOBAL_VARIABLE, &attributes, &size, value);
    if (err == EFI_SUCCESS)
        report.bytes("secure-boot", value, size);
    else
        report.text8("secure-boot", "none");
}

bool points_into(const void *function, const EFI_LOADED_IMAGE_PROTOCOL *image) {
    auto address = reinterpret_cast<uintptr_t>(function);
    auto base = reinterpret_cast<uintptr_t>(image->ImageBase);
    return address >= base && address - base < image->ImageSize;
}

template <typename Protocol> Protocol *locate(const EFI_GUID &guid) {
    void *p = nullptr;
    if (BS->LocateProtocol(&guid, nullptr, &p) != EFI_SUCCESS)
        return nullptr;
    return static_cast<Protocol *>(p);
}

void report_hooks(Report &report, const EFI_LOADED_IMAGE_PROTOCOL *loaded_image) {
    EFI_LOADED_IMAGE_PROTOCOL *parent = nullptr;
    if (!loaded_image->ParentHandle ||
        BS->HandleProtocol(loaded_image->ParentHandle, &EFI_LOADED_IMAGE_PROTOCOL_GUID,
                           reinterpret_cast<void **>(&parent)) != EFI_SUCCESS)
        parent = nullptr;

    auto *security = locate<EFI_SECURITY_ARCH_PROTOCOL>(EFI_SECURITY_ARCH_PROTOCOL_GUID);
    report.flag("security-arch", security);
    if (security && parent)
        report.flag("security-arch.hook-in-parent",
                    points_into(reinterpret_cast<const void *>(security->FileAuthenticationState), parent));

    auto *security2 = locate<EFI_SECURITY2_ARCH_PROTOCOL>(EFI_SECURITY2_ARCH_PROTOCOL_GUID);
    report.flag("security2-arch", security2);
    if (security2 && parent)
        report.flag("security2-arch.hook-in-parent",
                    points_into(reinterpret_cast<const void *>(security2->FileAuthentication), parent));
}

void report_unsigned_load(Report &report, EFI_HANDLE parent) {
    VENDOR_MEDIA_DEVICE_PATH dp = vendor_media_device_path(UNSIGNED_IMAGE_VENDOR);
    EFI_HANDLE image = nullptr;
    // The firmware may hand back a handle with a Secure Boot refusal; it is released the same way.
    EFI_STATUS err = BS->LoadImage(false, parent, reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(&dp),
                                   const_cast<uint8_t *>(unsigned_image), sizeof(unsigned_image), &image);
    report.status("unsigned-image.load-status", err);
    if (image)
        BS->UnloadImage(image);
}

} // namespace

void report_image_authentication(Report &report, EFI_HANDLE image, const EFI_LOADED_IMAGE_PROTOCOL *loaded_image) {
    report_secure_boot(report);
    report_hooks(report, loaded_image);
    report_unsigned_load(report, image);
}

} // namespace korvane::vmtest
