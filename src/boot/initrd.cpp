#include "initrd.h"

#include "efi/load-file.h"
#include "firmware.h"

namespace korvane {

namespace {

// The firmware hands the record back as the protocol's This pointer.
struct InitrdProvider {
    EFI_LOAD_FILE2_PROTOCOL load_file;
    const void *address;
    size_t length;
};
static_assert(__builtin_offsetof(InitrdProvider, load_file) == 0);

constexpr VENDOR_MEDIA_DEVICE_PATH initrd_device_path = vendor_media_device_path(LINUX_EFI_INITRD_MEDIA_GUID);

EFI_STATUS EFIAPI provide_initrd(EFI_LOAD_FILE2_PROTOCOL *This, EFI_DEVICE_PATH_PROTOCOL *file_path,
                                 BOOLEAN boot_policy, UINTN *buffer_size, VOID *buffer) {
    if (!This || !file_path || !buffer_size)
        return EFI_INVALID_PARAMETER;
    if (boot_policy)
        return EFI_UNSUPPORTED;
    auto *provider = reinterpret_cast<InitrdProvider *>(This);
    if (provider->length == 0 || !provider->address)
        return EFI_NOT_FOUND;
    if (!buffer || *buffer_size < provider->length) {
        *buffer_size = provider->length;
        return EFI_BUFFER_TOO_SMALL;
    }
    memcpy(buffer, provider->address, provider->length);
    *buffer_size = provider->length;
    return EFI_SUCCESS;
}

void *device_path_interface() {
    return const_cast<VENDOR_MEDIA_DEVICE_PATH *>(&initrd_device_path);
}

} // namespace

EFI_STATUS register_initrd_loader(const iovec &initrd, EFI_HANDLE *ret_handle) {
    if (!iovec_is_set(initrd))
        return EFI_SUCCESS;

    auto *dp = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(device_path_interface());
    EFI_HANDLE existing = nullptr;
    if (BS->LocateDevicePath(&EFI_LOAD_FILE2_PROTOCOL_GUID, &dp, &existing) != EFI_NOT_FOUND)
        return EFI_ALREADY_STARTED;

    PoolPtr<InitrdProvider> provider(xnew<InitrdProvider>(1));
    *provider.get() = {.load_file = {provide_initrd}, .address = initrd.iov_base, .length = initrd.iov_len};
    EFI_HANDLE handle = nullptr;
    EFI_STATUS err = BS->InstallMultipleProtocolInterfaces(&handle, &EFI_DEVICE_PATH_PROTOCOL_GUID,
                                                           device_path_interface(), &EFI_LOAD_FILE2_PROTOCOL_GUID,
                                                           provider.get(), nullptr);
    if (err != EFI_SUCCESS)
        return err;
    (void)provider.release();
    *ret_handle = handle;
    return EFI_SUCCESS;
}

void unregister_initrd_loader(EFI_HANDLE *handle) {
    if (!*handle)
        return;
    void *provider = nullptr;
    EFI_STATUS err = BS->HandleProtocol(*handle, &EFI_LOAD_FILE2_PROTOCOL_GUID, &provider);
    if (err == EFI_SUCCESS &&
        BS->UninstallMultipleProtocolInterfaces(*handle, &EFI_DEVICE_PATH_PROTOCOL_GUID, device_path_interface(),
                                                &EFI_LOAD_FILE2_PROTOCOL_GUID, provider, nullptr) == EFI_SUCCESS)
        free_pool(provider);
    *handle = nullptr;
}

} // namespace korvane
