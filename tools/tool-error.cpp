#include "tool-error.h"

#include <cstdio>
#include <cstring>

namespace korvane {

std::string errno_text(int error) {
    return std::strerror(error);
}

std::string hex_text(std::uint64_t value) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value));
    return buf;
}

} // namespace korvane
