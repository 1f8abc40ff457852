// `korvane-uki addon`: an add-on for unified kernel images: our add-on base image (a small
// EFI application that refuses to run) with payload sections appended.
#pragma once

#include "uki-build.h"

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace korvane {

struct AddonRequest {
    std::string base; // empty: our add-on base image (find_our_image)
    std::string output;
    std::vector<SectionSource> sections;     // in command-line order
    const SigningKey *signing_key = nullptr; // sign the add-on for Secure Boot with this
    std::optional<std::uint32_t> time_stamp; // the output's TimeDateStamp; else the base's
};

// Writes request.output, or throws ToolError and leaves it as it was. Warnings go to warnings.
void build_addon(const AddonRequest &request, std::ostream &warnings);

} // namespace korvane
