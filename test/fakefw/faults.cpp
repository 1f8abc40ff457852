#include "fakefw/faults.h"

#include <gtest/gtest.h>

namespace fakefw {

void Faults::fail(Service service, EFI_STATUS status, unsigned after, unsigned times) {
    if (!service_returns_status(service)) {
        ADD_FAILURE() << "fakefw: " << service_name(service) << " returns no status and cannot fail";
        return;
    }
    plans_[index(service)].fail(status, after, times);
}

void Faults::clear(Service service) { plans_[index(service)].clear(); }

std::optional<EFI_STATUS> Faults::enter(Service service) { return plans_[index(service)].enter(); }

std::optional<EFI_STATUS> FaultPlan::enter() {
    calls_++;
    if (!plan_)
        return std::nullopt;
    if (plan_->pass > 0) {
        plan_->pass--;
        return std::nullopt;
    }
    if (plan_->fail == 0)
        return std::nullopt;
    if (plan_->fail != ALWAYS)
        plan_->fail--;
    return plan_->status;
}

} // namespace fakefw
