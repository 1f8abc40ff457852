// Stall on a virtual clock: nothing sleeps. A single stall of 60 s or more is how the stub
// parks the processor for good, so it ends the run with fakefw::Halted instead.
#pragma once

#include <vector>

#include "boot/efi/efi.h"

namespace fakefw {

class Firmware;

inline constexpr UINTN HALT_STALL_US = 60000000;

class Clock {
public:
    explicit Clock(Firmware &fw) : fw_(fw) {}
    Clock(const Clock &) = delete;
    Clock &operator=(const Clock &) = delete;

    // Total microseconds of every stall so far, and each stall in order (halts excluded).
    UINT64 stalled_us() const { return stalled_us_; }
    const std::vector<UINTN> &stalls() const { return stalls_; }

    // Firmware side, called through the boot services table.
    void bind(EFI_BOOT_SERVICES &bs);
    EFI_STATUS stall(UINTN us);

private:
    Firmware &fw_;
    UINT64 stalled_us_ = 0;
    std::vector<UINTN> stalls_;
};

} // namespace fakefw
