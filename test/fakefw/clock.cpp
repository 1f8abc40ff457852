#include "fakefw/clock.h"

#include "fakefw/trampoline.h"

namespace fakefw {

namespace {

EFI_STATUS stall(UINTN us) { return Firmware::active().clock().stall(us); }

} // namespace

void Clock::bind(EFI_BOOT_SERVICES &bs) { bs.Stall = Entry<Service::Stall, fakefw::stall>::call; }

EFI_STATUS Clock::stall(UINTN us) {
    if (us >= HALT_STALL_US)
        fw_.halt();
    stalled_us_ += us;
    stalls_.push_back(us);
    return EFI_SUCCESS;
}

} // namespace fakefw
