// EFI_RNG_PROTOCOL, installed only when a test asks for it. Its bytes are deterministic: a
// script the test sets, or else a fixed pseudo-random sequence.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "boot/efi/rng.h"

namespace fakefw {

class Firmware;

struct RngCall {
    const EFI_RNG_ALGORITHM *algorithm; // as passed; null asks for the default algorithm
    std::optional<EFI_GUID> algorithm_guid;
    UINTN length;
};

class Rng {
public:
    explicit Rng(Firmware &fw);
    Rng(const Rng &) = delete;
    Rng &operator=(const Rng &) = delete;

    // Installs the protocol on a new handle and returns the handle.
    EFI_HANDLE install();
    void uninstall();
    EFI_RNG_PROTOCOL *protocol() { return &protocol_; }

    // GetRNG hands these bytes out in order; asking for more than remain fails the test.
    void set_bytes(std::vector<uint8_t> bytes);
    // Every GetRNG call, injected failures included.
    const std::vector<RngCall> &calls() const { return calls_; }

    // Firmware side, called through the protocol.
    void record(const EFI_RNG_ALGORITHM *algorithm, UINTN length);
    EFI_STATUS get_rng(EFI_RNG_ALGORITHM *algorithm, UINTN length, UINT8 *value);

private:
    uint8_t next_byte();

    Firmware &fw_;
    EFI_RNG_PROTOCOL protocol_ = {};
    EFI_HANDLE handle_ = nullptr;
    std::optional<std::deque<uint8_t>> script_;
    uint64_t state_ = 0;
    std::vector<RngCall> calls_;
};

} // namespace fakefw
