// The binary ".hwids" table the stub looks a machine's CHIDs up in: one 28-byte entry per
// CHID (descriptor, CHID, 4 unused bytes, offset of its compatible string), an entry of
// zeros, then the NUL-terminated compatible strings. Integers are little-endian.
#pragma once

#include "hwids-description.h"

#include <ostream>
#include <string>
#include <vector>

namespace korvane {

inline constexpr std::uint32_t HWID_DESCRIPTOR_DEVICETREE = 0x1000001C;
inline constexpr std::size_t HWID_ENTRY_SIZE = 28;

// Entries follow the devices and each device's CHIDs in order; a CHID that repeats with the
// same compatible is kept once. The stub takes the first entry of a CHID, so a CHID that
// devices with different compatibles share cannot tell them apart: it is left out, with a
// warning. A device left with no CHID of its own is an error (ToolError naming what).
std::string encode_hwids_table(const std::vector<HwidDevice> &devices, const std::string &what,
                               std::ostream &warnings);

} // namespace korvane
