// Internal: the EFIAPI entry points that the firmware tables hold. Each one counts the call,
// applies an injected fault, and otherwise forwards into the active Firmware's C++ state.
#pragma once

#include <optional>
#include <type_traits>

#include "fakefw/fakefw.h"

namespace fakefw {

void report_unimplemented(Service service);

// Entry<Service::X, impl>::call: an EFIAPI trampoline over `impl`, a plain function that takes
// the member's parameters.
template <Service S, auto Impl> struct Entry;
template <Service S, typename R, typename... A, R (*Impl)(A...)> struct Entry<S, Impl> {
    static R EFIAPI call(A... args) {
        std::optional<EFI_STATUS> injected = Firmware::active().faults().enter(S);
        if constexpr (!std::is_void_v<R>)
            if (injected)
                return static_cast<R>(*injected);
        return Impl(args...);
    }
};

// The filler of every member fakefw does not implement: reaching it fails the test.
template <Service S, typename F> struct Unimplemented;
template <Service S, typename R, typename... A> struct Unimplemented<S, R(EFIAPI *)(A...)> {
    static R EFIAPI call(A...) { return answer(); }
    static R answer() {
        std::optional<EFI_STATUS> injected = Firmware::active().faults().enter(S);
        if constexpr (!std::is_void_v<R>)
            if (injected)
                return static_cast<R>(*injected);
        report_unimplemented(S);
        if constexpr (!std::is_void_v<R>)
            return static_cast<R>(EFI_UNSUPPORTED);
    }
};
template <Service S, typename R, typename... A> struct Unimplemented<S, R(EFIAPI *)(A..., ...)> {
    static R EFIAPI call(A..., ...) { return Unimplemented<S, R(EFIAPI *)(A...)>::answer(); }
};

// Points every member of `table` that the service list names at its unimplemented filler;
// each area then binds the members it implements.
template <typename Table> void fill_unimplemented(Table &table) {
#define FAKEFW_FILL(service, type, member)                                                                             \
    if constexpr (std::is_same_v<Table, type>)                                                                         \
        table.member = Unimplemented<Service::service, decltype(type::member)>::call;
    FAKEFW_SERVICES(FAKEFW_FILL)
#undef FAKEFW_FILL
}

} // namespace fakefw
