#include "fakefw/service.h"

#include <type_traits>

namespace fakefw {

namespace {

template <typename F> struct ReturnsStatus;
template <typename R, typename... A> struct ReturnsStatus<R(EFIAPI *)(A...)> {
    static constexpr bool value = std::is_same_v<R, EFI_STATUS>;
};
template <typename R, typename... A> struct ReturnsStatus<R(EFIAPI *)(A..., ...)> {
    static constexpr bool value = std::is_same_v<R, EFI_STATUS>;
};

constexpr const char *NAMES[] = {
#define FAKEFW_NAME(service, table, member) #service,
    FAKEFW_SERVICES(FAKEFW_NAME)
#undef FAKEFW_NAME
};

constexpr bool RETURNS_STATUS[] = {
#define FAKEFW_RETURNS(service, table, member) ReturnsStatus<decltype(table::member)>::value,
    FAKEFW_SERVICES(FAKEFW_RETURNS)
#undef FAKEFW_RETURNS
};

} // namespace

const char *service_name(Service service) { return NAMES[static_cast<unsigned>(service)]; }

bool service_returns_status(Service service) { return RETURNS_STATUS[static_cast<unsigned>(service)]; }

} // namespace fakefw
