// `korvane-uki addon`: an add-on for unified kernel images: our add-on base image (a small
// EFI application that refuses to run) with payload sections appended.
#pragma once

#include "uki-build.h"

#include <ostream>
#include <string>
#include <vector>

namespace korvane {

inline constexpr const char *ADDON_BASE_FILE = "korvane-addon-x64.efi";

struct AddonRequest {
    std::string base; // empty: ADDON_BASE_FILE in the directory of this program
    std::string output;
    std::vector<SectionSource> sections; // in command-line order
};

// Writes request.output, or throws ToolError and leaves it as it was. Warnings go to warnings.
void build_addon(const AddonRequest &request, std::ostream &warnings);

} // namespace korvane
