// Stall on a virtual clock: nothing sleeps. A single stall of 60 s or more is how the stub
// parks the processor for good, so it ends the run with fakefw::Halted instead. GetTime gives
// a time the test sets, GetNextMonotonicCount a counter that goes up by one per call.
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

    void set_time(const EFI_TIME &time) { time_ = time; }
    const EFI_TIME &time() const { return time_; }
    // The value the next GetNextMonotonicCount hands out.
    void set_monotonic_count(UINT64 next) { monotonic_ = next; }
    UINT64 next_monotonic_count() const { return monotonic_; }

    // Firmware side, called through the boot services table.
    void bind(EFI_BOOT_SERVICES &bs);
    void bind(EFI_RUNTIME_SERVICES &rt);
    EFI_STATUS stall(UINTN us);

private:
    Firmware &fw_;
    UINT64 stalled_us_ = 0;
    std::vector<UINTN> stalls_;
    EFI_TIME time_ = {2025, 6, 1, 8, 30, 15, 0, 123456789, 0, 0, 0};
    UINT64 monotonic_ = 0x0000000100000000ULL;
};

} // namespace fakefw
