#include "uki-build.h"

#include "file-io.h"
#include "hwids-table.h"
#include "image-writer.h"
#include "our-images.h"
#include "pcr/image-sections.h"
#include "pcr/section-digest-sink.h"
#include "pe-layout.h"
#include "sbat.h"
#include "section-content.h"
#include "tool-error.h"
#include "uki-sections.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace korvane {

namespace {

// The stub lays initrds end to end at 4-byte boundaries; so do the parts of one .initrd.
constexpr std::uint64_t INITRD_ALIGNMENT = 4;

// A device description is a few lines of text; anything near this size is some other file.
constexpr std::uint64_t HWIDS_DESCRIPTION_MAX = 16 << 20;

constexpr std::string_view SBAT_SECTION = ".sbat";
// The base image's own .sbat keeps its place under this name when the output's one .sbat
// takes over its lines: shim refuses an image with two, and the stub reads only the first.
constexpr std::string_view SUPERSEDED_SBAT = ".sbatold";

// A text file the tool reads whole to parse it.
std::string read_text(const InputFile &file, std::uint64_t max, const std::string &kind) {
    if (file.size() > max)
        throw ToolError(file.path(), "too large for " + kind);
    std::string text(file.size(), '\0');
    file.read_at(text.data(), text.size(), 0);
    return text;
}

std::string compile_hwids(const InputFile &file, std::ostream &warnings) {
    std::string text = read_text(file, HWIDS_DESCRIPTION_MAX, "a device description");
    return encode_hwids_table(parse_hwids_description(text, file.path()), file.path(), warnings);
}

// The base image's own SBAT lines, checked: its first .sbat section's data, up to a NUL.
std::string read_base_sbat(const InputFile &base, const PeHeaders &headers) {
    std::optional<std::size_t> index = find_section(headers, SBAT_SECTION);
    if (!index)
        return {};
    const PeSection &s = headers.sections[*index];
    std::uint64_t size = std::min(s.virtual_size, s.size_of_raw_data);
    if (size > SBAT_TEXT_MAX)
        throw ToolError(base.path(), "its .sbat section is too large for SBAT metadata");
    std::string text(size, '\0');
    base.read_at(text.data(), text.size(), s.pointer_to_raw_data);
    text.resize(std::min(text.find('\0'), text.size()));
    return check_sbat(text, base.path() + " (its .sbat section)");
}

void add_source(SectionContent &content, const SectionSource &source, std::string_view base_sbat,
                std::ostream &warnings) {
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
    else if (source.name == SBAT_SECTION)
        content.add_text(
            merge_sbat(base_sbat, check_sbat(read_text(file, SBAT_TEXT_MAX, "SBAT metadata"), file.path()), file.path()));
    else
        content.add_file(std::move(file));
}

// One content per section, in order; the stub reads only one .initrd per group, so all
// initrds given for a group go into the first one's section, one after the other.
std::vector<SectionContent> gather_sections(const std::vector<SectionSource> &sources, std::string_view base_sbat,
                                            std::ostream &warnings) {
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
                add_source(contents[it->second], source, base_sbat, warnings);
                continue;
            }
        }
        contents.emplace_back(source.name);
        add_source(contents.back(), source, base_sbat, warnings);
    }
    return contents;
}

// Bytes after the stub's last section lie where no section header covers them: in the output
// they would sit between the stub and the appended sections, unprotected by a signature. Zero
// padding is left out; anything else may mean something to the stub (a symbol table, a payload)
// and is refused rather than dropped behind the user's back.
void leave_out_overlay(const InputFile &stub, PeHeaders &headers) {
    std::uint64_t sections_end = headers.data_start;
    for (const PeSection &s : headers.sections)
        if (s.size_of_raw_data != 0)
            sections_end = std::max<std::uint64_t>(sections_end, std::uint64_t{s.pointer_to_raw_data} + s.size_of_raw_data);
    std::vector<std::uint8_t> chunk(1 << 16);
    for (std::uint64_t at = sections_end; at < headers.data_end;) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), headers.data_end - at));
        stub.read_at(chunk.data(), n, at);
        if (std::any_of(chunk.begin(), chunk.begin() + static_cast<long>(n), [](std::uint8_t b) { return b != 0; }))
            throw ToolError(stub.path(), "bytes " + hex_text(sections_end) + "-" + hex_text(headers.data_end - 1) +
                                             " follow its last section, where no section header covers them; "
                                             "strip them from the stub");
        at += n;
    }
    headers.data_end = std::min(headers.data_end, sections_end);
}

// Reads the sections to append. An appended .sbat holds the base image's own SBAT lines and
// then the given ones; the base's .sbat is renamed, so that the output has only the one.
std::vector<SectionContent> take_sections(const InputFile &base, PeHeaders &headers,
                                          const std::vector<SectionSource> &sources, std::ostream &warnings) {
    auto is_sbat = [](const SectionSource &s) { return s.name == SBAT_SECTION; };
    if (std::none_of(sources.begin(), sources.end(), is_sbat))
        return gather_sections(sources, {}, warnings);
    std::vector<SectionContent> contents = gather_sections(sources, read_base_sbat(base, headers), warnings);
    if (std::optional<std::size_t> own = find_section(headers, SBAT_SECTION))
        rename_section(headers, *own, SUPERSEDED_SBAT);
    return contents;
}

void warn_about_signature(const ImagePlan &plan, const SigningKey *signing_key, std::ostream &warnings) {
    if (plan.headers.has_certificate_table && !signing_key)
        warnings << "korvane-uki: " << plan.base.path() << ": warning: its signature is not copied; sign the output\n";
}

// Where the base ends among the sources: before the first ".profile".
std::size_t base_end(const std::vector<SectionSource> &sources) {
    std::size_t i = 0;
    while (i < sources.size() && sources[i].name != PROFILE_SECTION)
        i++;
    return i;
}

void refuse_policy_sections(const std::vector<SectionSource> &sources) {
    for (const SectionSource &s : sources) {
        if (s.name == ".pcrsig")
            throw ToolError(s.what, "cannot be given with --pcr-private-key, which makes the .pcrsig itself");
        if (s.name == ".pcrpkey")
            throw ToolError(s.what, "cannot be given with --pcr-private-key; give the key's public half as "
                                    "--pcr-public-key");
    }
}

// A table with the plan's names and sizes, for what depends on them alone.
std::vector<PeSectionHeader> provisional_table(const ImagePlan &plan) {
    std::vector<PeSectionHeader> table;
    for (const PeSection &s : plan.headers.sections)
        table.push_back(to_section_header(s));
    for (const SectionContent &c : plan.contents)
        table.push_back(to_section_header({c.name(), static_cast<std::uint32_t>(c.size()), 0, 0, 0}));
    for (std::size_t i = 0; i < table.size(); i++)
        table[i].VirtualAddress = static_cast<std::uint32_t>(i + 1);
    return table;
}

void build_signed_uki(const BuildRequest &request, const std::string &stub, std::ostream &warnings) {
    refuse_policy_sections(request.sections);
    PcrPolicySigner signer(*request.pcr_signing);
    std::vector<SectionSource> sources = request.sections;
    sources.insert(sources.begin() + static_cast<std::ptrdiff_t>(base_end(sources)),
                   {".pcrpkey", SourceKind::text, signer.public_pem(), "--pcr-private-key"});
    ImagePlan plan = plan_image(stub, sources, request.time_stamp, warnings);

    // The signature covers what is written before it, so its data comes last; its size
    // must be known before the headers are.
    auto pcrpkey = std::find_if(plan.contents.begin(), plan.contents.end(),
                                [](const SectionContent &c) { return c.name() == ".pcrpkey"; });
    std::size_t index = static_cast<std::size_t>(pcrpkey - plan.contents.begin()) + 1;
    plan.contents.insert(plan.contents.begin() + static_cast<std::ptrdiff_t>(index), SectionContent(".pcrsig"));
    std::size_t size = signer.signature_size(provisional_table(plan));
    std::optional<SectionDigestSink> digests;
    plan.contents[index].add_deferred(size, [&] { return signer.signature(digests->finish(), size); });
    plan.data_last = index;

    std::vector<std::string> names = plan.names();
    check_uki(names, plan.contents, request.output);
    warn_about_signature(plan, request.signing_key, warnings);
    PeLayout layout = plan.layout(request.output);
    digests.emplace(output_section_table(plan.headers, layout), signer.banks());
    StreamSink *sinks[] = {&*digests};
    write_pe_image(plan.base, layout, plan.contents, request.output, sinks, request.signing_key);
}

} // namespace

std::vector<std::string> ImagePlan::names() const {
    std::vector<std::string> names;
    for (const PeSection &s : headers.sections)
        names.push_back(s.name);
    for (const SectionContent &c : contents)
        names.push_back(c.name());
    return names;
}

PeLayout ImagePlan::layout(const std::string &what) const {
    std::vector<AppendedSection> appended;
    for (std::size_t i = 0; i < contents.size(); i++)
        appended.push_back({contents[i].name(), contents[i].size(), data_last == i});
    return plan_append(headers, appended, read_debug_pointers(base, headers), what);
}

ImagePlan plan_image(const std::string &base, const std::vector<SectionSource> &sources,
                     std::optional<std::uint32_t> time_stamp, std::ostream &warnings) {
    InputFile file(base);
    PeHeaders headers = load_pe_headers(file);
    leave_out_overlay(file, headers);
    std::vector<SectionContent> contents = take_sections(file, headers, sources, warnings);
    if (time_stamp)
        set_time_stamp(headers, *time_stamp);
    return {std::move(file), std::move(headers), std::move(contents), std::nullopt};
}

std::vector<PeSectionHeader> output_section_table(const PeHeaders &base, const PeLayout &layout) {
    std::vector<PeSectionHeader> table(base.sections.size() + layout.appended.size());
    std::memcpy(table.data(), layout.headers.data() + base.section_table, table.size() * sizeof(PeSectionHeader));
    return table;
}

void check_uki(std::span<const std::string> names, std::span<const SectionContent> contents, const std::string &what) {
    check_profile_groups(names, what);
    for (const SectionContent &c : contents)
        if (c.name() == ".linux")
            for (const InputFile *kernel : c.files())
                check_kernel_image(*kernel);
}

void append_sections(const std::string &base, const std::vector<SectionSource> &sources, const std::string &output,
                     std::optional<std::uint32_t> time_stamp, const SigningKey *signing_key, const ImageCheck &check,
                     std::ostream &warnings) {
    ImagePlan plan = plan_image(base, sources, time_stamp, warnings);
    check(plan.names(), plan.contents);
    warn_about_signature(plan, signing_key, warnings);
    write_pe_image(plan.base, plan.layout(output), plan.contents, output, {}, signing_key);
}

void build_uki(const BuildRequest &request, std::ostream &warnings) {
    std::string stub = request.stub.empty() ? find_our_image(STUB_FILE, "build") : request.stub;
    if (request.pcr_signing) {
        build_signed_uki(request, stub, warnings);
        return;
    }
    append_sections(
        stub, request.sections, request.output, request.time_stamp, request.signing_key,
        [&](std::span<const std::string> names, std::span<const SectionContent> contents) {
            check_uki(names, contents, request.output);
        },
        warnings);
}

} // namespace korvane
