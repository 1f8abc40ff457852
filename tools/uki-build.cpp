#include "uki-build.h"

#include "file-io.h"
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

void add_source(SectionContent &content, const SectionSource &source) {
    if (!source.from_file) {
        if (source.value.empty())
            throw ToolError(source.what, "empty text: a section of size 0 reads as absent");
        content.add_text(source.value);
        return;
    }
    InputFile file(source.value);
    if (file.size() == 0)
        throw ToolError(file.path(), "empty file: a section of size 0 reads as absent");
    content.add_file(std::move(file));
}

// One content per section, in order; the stub reads only one .initrd per group, so all
// initrds given for a group go into the first one's section, one after the other.
std::vector<SectionContent> gather_sections(const std::vector<SectionSource> &sources) {
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
                add_source(contents[it->second], source);
                continue;
            }
        }
        contents.emplace_back(source.name);
        add_source(contents.back(), source);
    }
    return contents;
}

void check_image(const PeHeaders &stub, const std::vector<SectionContent> &contents, const std::string &output) {
    std::vector<std::string> names;
    for (const PeSection &s : stub.sections)
        names.push_back(s.name);
    for (const SectionContent &c : contents)
        names.push_back(c.name());
    check_profile_groups(names, output);
    for (const SectionContent &c : contents)
        if (c.name() == ".linux")
            for (const InputFile *kernel : c.files())
                check_kernel_image(*kernel);
}

} // namespace

void build_uki(const BuildRequest &request, std::ostream &warnings) {
    InputFile stub(request.stub);
    PeHeaders headers = load_pe_headers(stub);
    std::vector<SectionContent> contents = gather_sections(request.sections);
    check_image(headers, contents, request.output);
    if (headers.has_certificate_table)
        warnings << "korvane-uki: " << stub.path() << ": warning: its signature is not copied; sign the output\n";
    std::vector<AppendedSection> appended;
    for (const SectionContent &c : contents)
        appended.push_back({c.name(), c.size()});
    PeLayout layout = plan_append(headers, appended, read_debug_pointers(stub, headers), request.output);
    write_pe_image(stub, layout, contents, request.output);
}

} // namespace korvane
