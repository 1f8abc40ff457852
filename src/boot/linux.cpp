#include "linux.h"

#include "efi/loaded-image.h"
#include "firmware.h"
#include "initrd.h"
#include "linux_x86.h"
#include "log.h"
#include "pe.h"
#include "secure-boot.h"

namespace korvane {

namespace {

// Removes the initrd provider; declared after the image so that it goes first.
class InitrdRegistration {
public:
    InitrdRegistration() = default;
    InitrdRegistration(const InitrdRegistration &) = delete;
    InitrdRegistration &operator=(const InitrdRegistration &) = delete;
    ~InitrdRegistration() { unregister_initrd_loader(&handle_); }
    EFI_HANDLE *out() { return &handle_; }

private:
    EFI_HANDLE handle_ = nullptr;
};

EFI_STATUS start_kernel(EFI_HANDLE image, const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, uint32_t compat_entry_point) {
    EFI_STATUS err = BS->StartImage(image, nullptr, nullptr);
    if (err != EFI_UNSUPPORTED || compat_entry_point == 0)
        return err;
    auto entry = reinterpret_cast<EFI_IMAGE_ENTRY_POINT>(static_cast<uint8_t *>(loaded_image->ImageBase) +
                                                         compat_entry_point);
    return entry(image, ST);
}

} // namespace

bool validate_payload(const void *context, const EFI_DEVICE_PATH_PROTOCOL *device_path, const void *file_buffer,
                      size_t file_size) {
    ASSERT(context);
    auto *payload = static_cast<const PayloadIdentity *>(context);
    if (device_path != payload->device_path)
        return false;
    if (!file_buffer)
        return true;
    return file_buffer == payload->kernel && file_size == payload->kernel_size;
}

EFI_STATUS load_image(EFI_HANDLE parent, const void *source, size_t length, EFI_HANDLE *ret_image) {
    ASSERT(source);
    // Firmware may keep the path it was given rather than a copy, so it lives as long as the stub.
    static constinit VENDOR_MEDIA_DEVICE_PATH payload_device_path = vendor_media_device_path(KERNEL_PAYLOAD_VENDOR_GUID);
    auto *dp = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(&payload_device_path);
    PayloadIdentity payload = {.kernel = source, .kernel_size = length, .device_path = dp};

    if (secure_boot_active())
        override_security_hooks(validate_payload, &payload);
    EFI_STATUS err = BS->LoadImage(false, parent, dp, const_cast<void *>(source), length, ret_image);
    restore_security_hooks();
    return err;
}

EFI_STATUS linux_exec(EFI_HANDLE parent, const char16_t *cmdline, const iovec &kernel, const iovec &initrd) {
    ASSERT(parent);
    ASSERT(iovec_is_set(kernel));
    ASSERT(iovec_is_valid(initrd));

    uint32_t compat_entry_point = 0, size_in_memory = 0;
    EFI_STATUS err = inspect_kernel_image(kernel.iov_base, kernel.iov_len, &compat_entry_point, &size_in_memory);
    if (err == EFI_UNSUPPORTED)
        return linux_exec_efi_handover(parent, cmdline, kernel, initrd, size_in_memory);
    if (err != EFI_SUCCESS)
        return log_error(err, "Bad kernel image: %m");

    ImageHandle image;
    err = load_image(parent, kernel.iov_base, kernel.iov_len, image.out());
    if (err != EFI_SUCCESS)
        return log_error(err, "Error loading kernel image: %m");

    EFI_LOADED_IMAGE_PROTOCOL *loaded_image = nullptr;
    err = BS->HandleProtocol(image.get(), &EFI_LOADED_IMAGE_PROTOCOL_GUID, reinterpret_cast<void **>(&loaded_image));
    if (err != EFI_SUCCESS)
        return log_error(err, "Error getting kernel loaded image protocol: %m");

    if (cmdline) {
        loaded_image->LoadOptions = const_cast<char16_t *>(cmdline);
        loaded_image->LoadOptionsSize = static_cast<uint32_t>((str16_len(cmdline) + 1) * sizeof(char16_t));
    }

    InitrdRegistration initrd_registration;
    err = register_initrd_loader(initrd, initrd_registration.out());
    if (err != EFI_SUCCESS)
        return log_error(err, "Error registering initrd: %m");

    log_stall();
    err = start_kernel(image.get(), loaded_image, compat_entry_point);
    return log_error(err, "Error starting kernel image: %m");
}

} // namespace korvane
