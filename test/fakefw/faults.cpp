#include "fakefw/faults.h"

#include <gtest/gtest.h>

namespace fakefw {

void Faults::fail(Service service, EFI_STATUS status, unsigned after, unsigned times) {
    if (!service_returns_status(service)) {
        ADD_FAILURE() << "fakefw: " << service_name(service) << " returns no status and cannot fail";
        return;
    }
    plans_[index(service)] = Plan{status, after, times};
}

void Faults::clear(Service service) { plans_[index(service)].reset(); }

std::optional<EFI_STATUS> Faults::enter(Service service) {
    calls_[index(service)]++;
    std::optional<Plan> &plan = plans_[index(service)];
    if (!plan)
        return std::nullopt;
    if (plan->pass > 0) {
        plan->pass--;
        return std::nullopt;
    }
    if (plan->fail == 0)
        return std::nullopt;
    if (plan->fail != ALWAYS)
        plan->fail--;
    return plan->status;
}

} // namespace fakefw
