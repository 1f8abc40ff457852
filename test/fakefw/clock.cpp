#include "fakefw/clock.h"

#include "fakefw/trampoline.h"

namespace fakefw {

namespace {

EFI_STATUS stall(UINTN us) { return Firmware::active().clock().stall(us); }

EFI_STATUS get_next_monotonic_count(UINT64 *count) {
    if (!count)
        return EFI_INVALID_PARAMETER;
    Clock &clock = Firmware::active().clock();
    *count = clock.next_monotonic_count();
    clock.set_monotonic_count(*count + 1);
    return EFI_SUCCESS;
}

EFI_STATUS get_time(EFI_TIME *time, EFI_TIME_CAPABILITIES *capabilities) {
    if (!time)
        return EFI_INVALID_PARAMETER;
    *time = Firmware::active().clock().time();
    if (capabilities)
        *capabilities = {1, 50000000, 0};
    return EFI_SUCCESS;
}

} // namespace

void Clock::bind(EFI_BOOT_SERVICES &bs) {
    bs.Stall = Entry<Service::Stall, fakefw::stall>::call;
    bs.GetNextMonotonicCount = Entry<Service::GetNextMonotonicCount, get_next_monotonic_count>::call;
}

void Clock::bind(EFI_RUNTIME_SERVICES &rt) { rt.GetTime = Entry<Service::GetTime, get_time>::call; }

EFI_STATUS Clock::stall(UINTN us) {
    if (us >= HALT_STALL_US)
        fw_.halt();
    stalled_us_ += us;
    stalls_.push_back(us);
    return EFI_SUCCESS;
}

} // namespace fakefw
