#include "fakefw/security.h"

#include <algorithm>
#include <gtest/gtest.h>

#include "fakefw/device-path-bytes.h"
#include "fakefw/fakefw.h"

namespace fakefw {

namespace {

EFI_SECURITY_ARCH_PROTOCOL security_protocol;
EFI_SECURITY2_ARCH_PROTOCOL security2_protocol;

EFI_STATUS EFIAPI own_file_authentication_state(const EFI_SECURITY_ARCH_PROTOCOL *This, UINT32 authentication_status,
                                                const EFI_DEVICE_PATH_PROTOCOL *file) {
    Security &security = Firmware::active().security();
    EXPECT_EQ(This, security.security()) << "fakefw: FileAuthenticationState called with a foreign This";
    return security.file_authentication_state(authentication_status, file);
}

EFI_STATUS EFIAPI own_file_authentication(const EFI_SECURITY2_ARCH_PROTOCOL *This,
                                          const EFI_DEVICE_PATH_PROTOCOL *path, VOID *buffer, UINTN size,
                                          BOOLEAN boot_policy) {
    Security &security = Firmware::active().security();
    EXPECT_EQ(This, security.security2()) << "fakefw: FileAuthentication called with a foreign This";
    return security.file_authentication(path, buffer, size, boot_policy);
}

bool contains(const std::vector<Bytes> &list, const Bytes &item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

} // namespace

EFI_SECURITY_FILE_AUTHENTICATION_STATE Security::own_hook() { return own_file_authentication_state; }
EFI_SECURITY2_FILE_AUTHENTICATION Security::own_hook2() { return own_file_authentication; }

Security::Security(Firmware &fw) : fw_(fw) {
    security_protocol.FileAuthenticationState = own_file_authentication_state;
    security2_protocol.FileAuthentication = own_file_authentication;
}

EFI_SECURITY_ARCH_PROTOCOL *Security::security() { return &security_protocol; }
EFI_SECURITY2_ARCH_PROTOCOL *Security::security2() { return &security2_protocol; }

EFI_HANDLE Security::install_security() {
    return fw_.handles().install(nullptr, EFI_SECURITY_ARCH_PROTOCOL_GUID, &security_protocol);
}

EFI_HANDLE Security::install_security2() {
    return fw_.handles().install(nullptr, EFI_SECURITY2_ARCH_PROTOCOL_GUID, &security2_protocol);
}

void Security::trust(const void *buffer, size_t size) {
    const auto *p = static_cast<const uint8_t *>(buffer);
    trusted_buffers_.emplace_back(p, p + size);
}

void Security::trust(const EFI_DEVICE_PATH_PROTOCOL *path) { trusted_paths_.push_back(device_path_bytes(path)); }

EFI_STATUS Security::file_authentication_state(UINT32 authentication_status, const EFI_DEVICE_PATH_PROTOCOL *file) {
    bool accepted = !enforcing_ || contains(trusted_paths_, device_path_bytes(file));
    EFI_STATUS verdict = accepted ? EFI_SUCCESS : EFI_SECURITY_VIOLATION;
    calls_.push_back(AuthCall{false, file, nullptr, 0, false, authentication_status, verdict});
    return verdict;
}

EFI_STATUS Security::file_authentication(const EFI_DEVICE_PATH_PROTOCOL *path, const void *buffer, UINTN size,
                                         BOOLEAN boot_policy) {
    const auto *p = static_cast<const uint8_t *>(buffer);
    bool accepted = !enforcing_ || (buffer && contains(trusted_buffers_, Bytes(p, p + size)));
    EFI_STATUS verdict = accepted ? EFI_SUCCESS : EFI_SECURITY_VIOLATION;
    calls_.push_back(AuthCall{true, path, buffer, size, boot_policy, 0, verdict});
    return verdict;
}

} // namespace fakefw
