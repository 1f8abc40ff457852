// `korvane-uki build`: a unified kernel image from the stub and the given sections; and the
// steps it shares with `korvane-uki addon`.
#pragma once

#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

namespace korvane {

class SectionContent;

enum class SourceKind {
    text,              // value is the content itself
    file,              // value is a path to the content
    hwids_description, // value is a path to a device description, written as a ".hwids" table
};

struct SectionSource {
    std::string name; // section name
    SourceKind kind = SourceKind::file;
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

// Checks the whole image before anything is written: names holds the base image's section
// names and then the appended ones, in table order; contents are the appended sections.
using ImageCheck = std::function<void(std::span<const std::string> names, std::span<const SectionContent> contents)>;

// Writes output as base with sources appended (the common part of build and addon).
void append_sections(const std::string &base, const std::vector<SectionSource> &sources, const std::string &output,
                     const ImageCheck &check, std::ostream &warnings);

} // namespace korvane
