// Where korvane-uki finds our own EFI images when no --stub names one: beside the program
// (as in the build tree), else in ../lib/korvane/ from its directory (as installed).
#pragma once

#include <string>

namespace korvane {

inline constexpr const char *STUB_FILE = "korvane-stub-x64.efi";
inline constexpr const char *ADDON_BASE_FILE = "korvane-addon-x64.efi";

// The path of the image file name; throws ToolError (with verb) when it is in neither place.
std::string find_our_image(const std::string &name, const std::string &verb);

} // namespace korvane
