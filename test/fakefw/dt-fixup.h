// EFI_DT_FIXUP_PROTOCOL, installed only when a test asks for it; declare it after the Firmware.
// It can demand a larger buffer (answering EFI_BUFFER_TOO_SMALL with the size it needs), apply
// an edit of the test's to the blob, and records every call.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "boot/efi/devicetree.h"
#include "fakefw/tcg-log.h"

namespace fakefw {

class Firmware;

// One Fixup call as the firmware received it, failed ones included.
struct DtFixupCall {
    void *fdt;
    UINTN buffer_size; // as passed in
    UINT32 flags;
    // The blob when the call came in: its header's totalsize bytes, at most buffer_size.
    std::vector<uint8_t> contents;
    EFI_STATUS status;
};

class DtFixup {
public:
    explicit DtFixup(Firmware &fw);
    ~DtFixup();
    DtFixup(const DtFixup &) = delete;
    DtFixup &operator=(const DtFixup &) = delete;

    // Installs the protocol on a new handle and returns the handle.
    EFI_HANDLE install();
    void uninstall();
    EFI_DT_FIXUP_PROTOCOL *protocol() { return &interface_.protocol; }

    // Buffers smaller than `size` get EFI_BUFFER_TOO_SMALL with `size` written back.
    void require_size(UINTN size) { required_size_ = size; }
    // The next call only answers `status` and writes `size` back, whatever the buffer (a
    // firmware that asks for less than the blob, say).
    void reply_once(EFI_STATUS status, UINTN size) { reply_ = Reply{status, size}; }
    // Runs on the blob of every call that succeeds (buffer and its size).
    void set_edit(std::function<void(uint8_t *, UINTN)> edit) { edit_ = std::move(edit); }
    void fail(EFI_STATUS status, unsigned after = 0, unsigned times = ALWAYS) { fault_.fail(status, after, times); }

    const std::vector<DtFixupCall> &calls() const { return calls_; }

    // Firmware side, called through the protocol.
    EFI_STATUS fixup(void *fdt, UINTN *buffer_size, UINT32 flags);

private:
    EFI_STATUS answer(void *fdt, UINTN *buffer_size);

    Firmware &fw_;
    OwnedInterface<EFI_DT_FIXUP_PROTOCOL, DtFixup> interface_ = {};
    EFI_HANDLE handle_ = nullptr;
    UINTN required_size_ = 0;
    struct Reply {
        EFI_STATUS status;
        UINTN size;
    };
    std::optional<Reply> reply_;
    std::function<void(uint8_t *, UINTN)> edit_;
    FaultPlan fault_;
    std::vector<DtFixupCall> calls_;
};

} // namespace fakefw
