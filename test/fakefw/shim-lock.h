// A fake of the shim first-stage loader's lock protocol, for tests of add-ons signed for shim.
// Verify accepts the buffers whose contents the test trusted and answers the refusal status
// for everything else; every call is recorded. Installed only when a test asks for it; declare
// it after the Firmware. Verify carries no This, so one instance at a time answers it.
#pragma once

#include <vector>

#include "boot/efi/shim-lock.h"

namespace fakefw {

class Firmware;

using Bytes = std::vector<uint8_t>;

struct ShimVerifyCall {
    const void *buffer;
    UINT32 size;
    Bytes contents; // the bytes as they were during the call
    EFI_STATUS verdict;
};

class ShimLock {
  public:
    explicit ShimLock(Firmware &fw);
    ~ShimLock();
    ShimLock(const ShimLock &) = delete;
    ShimLock &operator=(const ShimLock &) = delete;

    // Installs the protocol on a new handle and returns the handle.
    EFI_HANDLE install();
    void uninstall();
    SHIM_LOCK_PROTOCOL *protocol() { return &protocol_; }

    void trust(const Bytes &contents) { trusted_.push_back(contents); }
    // What untrusted buffers get; EFI_SECURITY_VIOLATION unless set.
    void set_refusal(EFI_STATUS status) { refusal_ = status; }

    const std::vector<ShimVerifyCall> &calls() const { return calls_; }

    // Called through the protocol.
    EFI_STATUS verify(const void *buffer, UINT32 size);

  private:
    Firmware &fw_;
    SHIM_LOCK_PROTOCOL protocol_ = {};
    EFI_HANDLE handle_ = nullptr;
    std::vector<Bytes> trusted_;
    EFI_STATUS refusal_ = EFI_SECURITY_VIOLATION;
    std::vector<ShimVerifyCall> calls_;
};

} // namespace fakefw
