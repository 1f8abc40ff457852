#include "secure-boot.h"

#include "device-path-util.h"
#include "efi/global-variable.h"
#include "efi/security-arch.h"
#include "efi/shim-lock.h"
#include "efi/simple-file-system.h"
#include "efivars.h"
#include "file-util.h"
#include "firmware.h"
#include "util.h"

namespace korvane {

namespace {

struct SecurityOverride {
    EFI_SECURITY_ARCH_PROTOCOL *security;
    EFI_SECURITY2_ARCH_PROTOCOL *security2;
    EFI_SECURITY_FILE_AUTHENTICATION_STATE original_hook;
    EFI_SECURITY2_FILE_AUTHENTICATION original_hook2;
    SecurityValidator validator;
    const void *validator_data;
};

SecurityOverride security_override;

EFI_STATUS EFIAPI security_hook(const EFI_SECURITY_ARCH_PROTOCOL *This, UINT32 authentication_status,
                                const EFI_DEVICE_PATH_PROTOCOL *file) {
    (void)This;
    ASSERT(security_override.validator);
    ASSERT(security_override.security);
    ASSERT(security_override.original_hook);
    if (security_override.validator(security_override.validator_data, file, nullptr, 0))
        return EFI_SUCCESS;
    return security_override.original_hook(security_override.security, authentication_status, file);
}

EFI_STATUS EFIAPI security2_hook(const EFI_SECURITY2_ARCH_PROTOCOL *This, const EFI_DEVICE_PATH_PROTOCOL *device_path,
                                 VOID *file_buffer, UINTN file_size, BOOLEAN boot_policy) {
    (void)This;
    ASSERT(security_override.validator);
    ASSERT(security_override.security2);
    ASSERT(security_override.original_hook2);
    if (security_override.validator(security_override.validator_data, device_path, file_buffer, file_size))
        return EFI_SUCCESS;
    return security_override.original_hook2(security_override.security2, device_path, file_buffer, file_size,
                                            boot_policy);
}

template <typename T> T *locate(const EFI_GUID &guid) {
    void *p = nullptr;
    if (BS->LocateProtocol(&guid, nullptr, &p) != EFI_SUCCESS)
        return nullptr;
    return static_cast<T *>(p);
}

// The contents of the file a device path names: the volume it starts with, then the path.
bool read_file_of_device_path(const EFI_DEVICE_PATH_PROTOCOL *device_path, PoolPtr<char> *ret, size_t *ret_size) {
    if (!device_path)
        return false;
    auto *rest = const_cast<EFI_DEVICE_PATH_PROTOCOL *>(device_path);
    EFI_HANDLE volume = nullptr;
    if (BS->LocateDevicePath(&EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID, &rest, &volume) != EFI_SUCCESS)
        return false;
    FileHandle root;
    if (open_volume_root(volume, root.out()) != EFI_SUCCESS)
        return false;
    PoolPtr<char16_t> path;
    if (device_path_to_str(rest, path.out()) != EFI_SUCCESS || !path)
        return false;
    return file_read(root.get(), path.get(), ret->out(), ret_size) == EFI_SUCCESS;
}

} // namespace

bool validate_with_shim(const void *validator_data, const EFI_DEVICE_PATH_PROTOCOL *device_path,
                        const void *file_buffer, size_t file_size) {
    (void)validator_data;
    PoolPtr<char> contents;
    if (!file_buffer) {
        if (!read_file_of_device_path(device_path, &contents, &file_size))
            return false;
        file_buffer = contents.get();
    }
    SHIM_LOCK_PROTOCOL *shim = locate<SHIM_LOCK_PROTOCOL>(SHIM_LOCK_PROTOCOL_GUID);
    // Shim takes a 32-bit size: a larger file would be judged by its first part only.
    if (!shim || file_size > UINT32_MAX)
        return false;
    return shim->Verify(file_buffer, static_cast<UINT32>(file_size)) == EFI_SUCCESS;
}

bool secure_boot_active() {
    PoolPtr<uint8_t> value;
    size_t size = 0;
    if (variable_get_raw(EFI_GLOBAL_VARIABLE, u"SecureBoot", reinterpret_cast<void **>(value.out()), &size) !=
        EFI_SUCCESS)
        return false;
    return value && size > 0 && value[0] != 0;
}

void override_security_hooks(SecurityValidator validator, const void *validator_data) {
    security_override = {.validator = validator, .validator_data = validator_data};

    if (auto *security = locate<EFI_SECURITY_ARCH_PROTOCOL>(EFI_SECURITY_ARCH_PROTOCOL_GUID)) {
        security_override.security = security;
        security_override.original_hook = security->FileAuthenticationState;
        security->FileAuthenticationState = security_hook;
    }
    if (auto *security2 = locate<EFI_SECURITY2_ARCH_PROTOCOL>(EFI_SECURITY2_ARCH_PROTOCOL_GUID)) {
        security_override.security2 = security2;
        security_override.original_hook2 = security2->FileAuthentication;
        security2->FileAuthentication = security2_hook;
    }
}

void restore_security_hooks() {
    if (security_override.original_hook)
        security_override.security->FileAuthenticationState = security_override.original_hook;
    if (security_override.original_hook2)
        security_override.security2->FileAuthentication = security_override.original_hook2;
}

} // namespace korvane
