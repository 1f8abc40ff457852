// The root node's first "compatible" string of a flattened devicetree blob (Devicetree
// Specification, chapter 5), which names the machine a ".dtbauto" blob is for.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace korvane {

// Empty when the blob is malformed or its root has no "compatible".
std::string devicetree_compatible(std::span<const std::uint8_t> blob);

} // namespace korvane
