// Call counts and injected failures for every member in the service list.
#pragma once

#include <array>
#include <optional>

#include "fakefw/service.h"

namespace fakefw {

class Faults {
public:
    // From now on the next `after` calls of `service` go through, then `times` calls return
    // `status` without doing anything, then calls go through again. Replaces an earlier plan.
    void fail(Service service, EFI_STATUS status, unsigned after = 0, unsigned times = ALWAYS);
    void clear(Service service);

    // Every call through the tables counts, failed ones included.
    unsigned calls(Service service) const { return calls_[index(service)]; }

    // Called by every trampoline first: counts the call and returns the injected status, if any.
    std::optional<EFI_STATUS> enter(Service service);

private:
    struct Plan {
        EFI_STATUS status;
        unsigned pass;
        unsigned fail;
    };
    static unsigned index(Service service) { return static_cast<unsigned>(service); }

    std::array<unsigned, SERVICE_COUNT> calls_ = {};
    std::array<std::optional<Plan>, SERVICE_COUNT> plans_ = {};
};

} // namespace fakefw
