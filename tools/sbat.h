// SBAT metadata (shim's Secure Boot Advanced Targeting): CSV lines of component name,
// generation, vendor name, vendor package name, vendor version and vendor URL, the first of
// them naming the format ("sbat,1,..."). shim reads one .sbat section per image and revokes
// an image when a component's generation is below the one it was told to require.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvane {

// An SBAT file holds a few lines per component; anything near this size is some other file.
inline constexpr std::uint64_t SBAT_TEXT_MAX = 64 << 10;

// Checks text as SBAT lines and returns them with "\n" after each (also the last, and in
// place of "\r\n"). Throws ToolError(what, "line N: ...") for the first bad line: an empty
// one, a control character or quote, other than 6 fields, an empty or blank
// component name, or a generation that is no whole number from 1 to 2^32 - 1.
std::string check_sbat(std::string_view text, const std::string &what);

// The one .sbat of an image: the base image's checked lines, then the user's. The user's
// format line is left out when it is the base's format of the same generation; any other
// component that is already listed is refused (ToolError naming what, the user's lines).
std::string merge_sbat(std::string_view base_lines, std::string_view user_lines, const std::string &what);

} // namespace korvane
