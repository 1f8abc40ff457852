// The Security and Security2 architectural protocols through which LoadImage asks the platform
// whether an image may run; each is installed only when a test asks for it. The fake's own
// hooks stand for the platform's verification: without enforcement they accept everything;
// with it they accept only buffers and device paths whose contents the test trusted, and
// answer EFI_SECURITY_VIOLATION for the rest, as Secure Boot does for an unsigned image.
// Every call that reaches one of the fake's own hooks is recorded.
//
// The two protocol structures have static storage: the stub keeps the protocols it overrode in a
// record of its own that outlives a test's Firmware, and its later restores must land in memory
// that is still there (they write the fake's own hooks back, which changes nothing).
#pragma once

#include <vector>

#include "boot/efi/security-arch.h"

namespace fakefw {

class Firmware;

using Bytes = std::vector<uint8_t>;

struct AuthCall {
    bool security2; // FileAuthentication of Security2, else FileAuthenticationState of Security
    const EFI_DEVICE_PATH_PROTOCOL *device_path;
    const void *buffer; // Security2 only
    UINTN size;
    BOOLEAN boot_policy;
    UINT32 authentication_status; // Security only
    EFI_STATUS verdict;
};

class Security {
public:
    explicit Security(Firmware &fw);
    Security(const Security &) = delete;
    Security &operator=(const Security &) = delete;

    // Each installs its protocol on a new handle and returns the handle.
    EFI_HANDLE install_security();
    EFI_HANDLE install_security2();
    EFI_SECURITY_ARCH_PROTOCOL *security();
    EFI_SECURITY2_ARCH_PROTOCOL *security2();
    // The fake's own hook functions, which the protocols hold until someone rewrites them.
    static EFI_SECURITY_FILE_AUTHENTICATION_STATE own_hook();
    static EFI_SECURITY2_FILE_AUTHENTICATION own_hook2();

    void set_enforcing(bool enforcing) { enforcing_ = enforcing; }
    // Accepted under enforcement: buffers with these contents (Security2), and device paths
    // with these contents (Security, which sees no buffer).
    void trust(const void *buffer, size_t size);
    void trust(const EFI_DEVICE_PATH_PROTOCOL *path);

    const std::vector<AuthCall> &calls() const { return calls_; }

    // Firmware side, called through the protocols.
    EFI_STATUS file_authentication_state(UINT32 authentication_status, const EFI_DEVICE_PATH_PROTOCOL *file);
    EFI_STATUS file_authentication(const EFI_DEVICE_PATH_PROTOCOL *path, const void *buffer, UINTN size,
                                   BOOLEAN boot_policy);

private:
    Firmware &fw_;
    bool enforcing_ = false;
    std::vector<Bytes> trusted_buffers_;
    std::vector<Bytes> trusted_paths_;
    std::vector<AuthCall> calls_;
};

} // namespace fakefw
