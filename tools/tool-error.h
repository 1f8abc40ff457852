// The one failure type of the image tools: reported as "<what>: <why>" on one line.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace korvane {

class ToolError : public std::runtime_error {
public:
    ToolError(const std::string &what, const std::string &why) : std::runtime_error(what + ": " + why) {}
};

// The text of an errno value, for messages about system calls.
std::string errno_text(int error);

// "0x" and lower-case hexadecimal digits.
std::string hex_text(std::uint64_t value);

} // namespace korvane
