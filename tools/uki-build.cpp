#include "uki-build.h"

#include "file-io.h"
#include "hwids-table.h"
#include "image-writer.h"
#include "pe-layout.h"
#include "section-content.h"
#include "tool-error.h"
#include "uki-sections.h"

#include <map>

namespace korvane {

namespace {

// The stub lays initrds end to end at 4-byte boundaries; so do the parts of one .initrd.
constexpr std::uint64_t INITRD_ALIGNMENT = 4;

// A device description is a few lines of text; anything near this size is some other file.
constexpr std::uint64_t HWIDS_DESCRIPTION_MAX = 16 << 20;

std::string compile_hwids(const InputFile &file, std::ostream &warnings) {
    if (file.size() > HWIDS_DESCRIPTION_MAX)
        throw ToolError(file.path(), "too large for a device description");
    std::string text(file.size(), '\0');
    file.read_at(text.data(), text.size(), 0);
    return encode_hwids_table(parse_hwids_description(text, file.path()), file.path(), warnings);
}

void add_source(SectionContent &content, const SectionSource &source, std::ostream &warnings) {
    if (source.kind == SourceKind::text) {
        if (source.value.empty())
            throw ToolError(source.what, "empty text: a section of size 0 reads as absent");
        content.add_text(source.value);
        return;
    }
    InputFile file(source.value);
    if (file.size() == 0)
        throw ToolError(file.path(), "empty file: a section of size 0 reads as absent");
    if (source.kind == SourceKind::hwids_description)
        content.add_text(compile_hwids(file, warnings));
    else
        content.add_file(std::move(file));
}

// One content per section, in order; the stub reads only one .initrd per group, so all
// initrds given for a group go into the first one's section, one after the other.
std::vector<SectionContent> gather_sections(const std::vector<SectionSource> &sources, std::ostream &warnings) {
    std::vector<SectionContent> contents;
    std::map<std::size_t, std::size_t> initrd_of_group;
    std::size_t group = 0;
    for (const SectionSource &source : sources) {
        check_section_name(source.name, source.what);
        if (source.name == PROFILE_SECTION)
            group++;
        if (source.name == ".initrd") {
            auto [it, first] = initrd_of_group.try_emplace(group, contents.size());
            if (!first) {
                contents[it->second].pad_to(INITRD_ALIGNMENT);
                add_source(contents[it->second], source, warnings);
                continue;
            }
        }
        contents.emplace_back(source.name);
        add_source(contents.back(), source, warnings);
    }
    return contents;
}

void check_uki(std::span<const std::string> names, std::span<const SectionContent> contents,
               const std::string &output) {
    check_profile_groups(names, output);
    for (const SectionContent &c : contents)
        if (c.name() == ".linux")
            for (const InputFile *kernel : c.files())
                check_kernel_image(*kernel);
}

} // namespace

void append_sections(const std::string &base, const std::vector<SectionSource> &sources, const std::string &output,
                     const ImageCheck &check, std::ostream &warnings) {
    InputFile stub(base);
    PeHeaders headers = load_pe_headers(stub);
    std::vector<SectionContent> contents = gather_sections(sources, warnings);
    std::vector<std::string> names;
    for (const PeSection &s : headers.sections)
        names.push_back(s.name);
    for (const SectionContent &c : contents)
        names.push_back(c.name());
    check(names, contents);
    if (headers.has_certificate_table)
        warnings << "korvane-uki: " << stub.path() << ": warning: its signature is not copied; sign the output\n";
    std::vector<AppendedSection> appended;
    for (const SectionContent &c : contents)
        appended.push_back({c.name(), c.size()});
    PeLayout layout = plan_append(headers, appended, read_debug_pointers(stub, headers), output);
    write_pe_image(stub, layout, contents, output);
}

void build_uki(const BuildRequest &request, std::ostream &warnings) {
    append_sections(
        request.stub, request.sections, request.output,
        [&](std::span<const std::string> names, std::span<const SectionContent> contents) {
            check_uki(names, contents, request.output);
        },
        warnings);
}

} // namespace korvane
