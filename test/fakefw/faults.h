// Call counts and injected failures for every member in the service list.
#pragma once

#include <array>
#include <optional>

#include "fakefw/service.h"

namespace fakefw {

// A failure plan for one member: the next `after` calls go through, then `times` calls fail
// with `status`, then calls go through again. Counts every call, failed ones included.
class FaultPlan {
public:
    void fail(EFI_STATUS status, unsigned after = 0, unsigned times = ALWAYS) { plan_ = Plan{status, after, times}; }
    void clear() { plan_.reset(); }
    unsigned calls() const { return calls_; }
    // Called by the member first: counts the call and returns the status to fail it with, if any.
    std::optional<EFI_STATUS> enter();

private:
    struct Plan {
        EFI_STATUS status;
        unsigned pass;
        unsigned fail;
    };
    std::optional<Plan> plan_;
    unsigned calls_ = 0;
};

class Faults {
public:
    // From now on the next `after` calls of `service` go through, then `times` calls return
    // `status` without doing anything, then calls go through again. Replaces an earlier plan.
    void fail(Service service, EFI_STATUS status, unsigned after = 0, unsigned times = ALWAYS);
    void clear(Service service);

    // Every call through the tables counts, failed ones included.
    unsigned calls(Service service) const { return plans_[index(service)].calls(); }

    // Called by every trampoline first: counts the call and returns the injected status, if any.
    std::optional<EFI_STATUS> enter(Service service);

private:
    static unsigned index(Service service) { return static_cast<unsigned>(service); }

    std::array<FaultPlan, SERVICE_COUNT> plans_ = {};
};

} // namespace fakefw
