// `korvane-uki build`: a unified kernel image from the stub and the given sections; and the
// steps it shares with `korvane-uki addon`.
#pragma once

#include "file-io.h"
#include "pcr/pcr-signer.h"
#include "pe-image.h"
#include "pe-layout.h"
#include "section-content.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

namespace korvane {

class SigningKey;

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
    std::string stub; // empty: our stub (find_our_image)
    std::string output;
    std::vector<SectionSource> sections;          // in command-line order; ".profile" opens a profile
    std::optional<PcrSigningRequest> pcr_signing; // adds ".pcrpkey" and ".pcrsig" to the base
    const SigningKey *signing_key = nullptr;      // sign the image for Secure Boot with this
    std::optional<std::uint32_t> time_stamp;      // the output's TimeDateStamp; else the stub's
};

// Writes request.output, or throws ToolError and leaves it as it was. Warnings go to warnings.
void build_uki(const BuildRequest &request, std::ostream &warnings);

// Checks the whole image before anything is written: names holds the base image's section
// names and then the appended ones, in table order; contents are the appended sections.
using ImageCheck = std::function<void(std::span<const std::string> names, std::span<const SectionContent> contents)>;

// An image before it is written: the base image and the sections to append, in table order.
struct ImagePlan {
    InputFile base;
    PeHeaders headers;
    std::vector<SectionContent> contents;
    std::optional<std::size_t> data_last; // the content whose data goes after all others

    // The base image's section names, then the appended ones.
    std::vector<std::string> names() const;
    PeLayout layout(const std::string &what) const;
};

// Opens base and gathers the sources' contents (files are opened, not read). A ".sbat" among
// the sources holds the base image's own SBAT lines and then its own; the base's .sbat is
// renamed, so that the output has only the one. time_stamp becomes the TimeDateStamp.
ImagePlan plan_image(const std::string &base, const std::vector<SectionSource> &sources,
                     std::optional<std::uint32_t> time_stamp, std::ostream &warnings);

// The section table of the output that layout describes.
std::vector<PeSectionHeader> output_section_table(const PeHeaders &base, const PeLayout &layout);

// The checks build makes on a unified kernel image's sections.
void check_uki(std::span<const std::string> names, std::span<const SectionContent> contents, const std::string &what);

// Writes output as base with sources appended (the common part of build and addon), with
// time_stamp as its TimeDateStamp when given.
void append_sections(const std::string &base, const std::vector<SectionSource> &sources, const std::string &output,
                     std::optional<std::uint32_t> time_stamp, const SigningKey *signing_key, const ImageCheck &check,
                     std::ostream &warnings);

} // namespace korvane
