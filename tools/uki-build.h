// `korvane-uki build`: a unified kernel image from the stub and the given sections.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace korvane {

struct SectionSource {
    std::string name;      // section name
    bool from_file = true; // value is a path, else the content itself
    std::string value;
    std::string what; // how to name this source in messages
};

struct BuildRequest {
    std::string stub;
    std::string output;
    std::vector<SectionSource> sections; // in command-line order; ".profile" opens a profile
};

// Writes request.output, or throws ToolError and leaves it as it was. Warnings go to warnings.
void build_uki(const BuildRequest &request, std::ostream &warnings);

} // namespace korvane
