#include "uki-inspect.h"

#include "json.h"
#include "pcr/image-sections.h"
#include "pe-format.h"
#include "tool-error.h"
#include "uki-measure.h"
#include "uki-sections.h"

#include <algorithm>
#include <iomanip>

namespace korvane {

namespace {

// Sections whose contents are text a person reads.
constexpr std::string_view TEXT_SECTIONS[] = {".cmdline", ".osrel", ".uname", ".profile", ".sbat"};
// More text than this is cut; these sections are a few lines.
constexpr std::size_t TEXT_MAX = 64 << 10;

struct PeFacts {
    std::uint16_t machine, subsystem, major_version, minor_version;
    std::uint32_t size_of_image;
};

PeFacts pe_facts(const PeHeaders &h) {
    const std::uint8_t *optional = h.bytes.data() + h.optional_header;
    const std::uint8_t *coff = optional - pe::OPTIONAL_HEADER;
    // PE32+ optional header: image version at 44 and 46, subsystem at 68.
    return {pe::load_le16(coff + pe::COFF_MACHINE), pe::load_le16(optional + 68), pe::load_le16(optional + 44),
            pe::load_le16(optional + 46), pe::load_le32(optional + pe::OPT_SIZE_OF_IMAGE)};
}

std::string subsystem_name(std::uint16_t subsystem) {
    switch (subsystem) {
    case 10:
        return "EFI application";
    case 11:
        return "EFI boot service driver";
    case 12:
        return "EFI runtime driver";
    default:
        return "subsystem " + std::to_string(subsystem);
    }
}

std::string kind_of(const std::vector<PeSection> &sections) {
    auto has = [&](std::string_view name) {
        return std::any_of(sections.begin(), sections.end(), [&](const PeSection &s) { return s.name == name; });
    };
    if (has(".linux"))
        return "uki";
    for (std::string_view payload : {".cmdline", ".dtb", ".dtbauto", ".initrd", ".ucode"})
        if (has(payload))
            return "addon";
    return "pe";
}

// The stub reads a text section up to its first NUL.
std::string section_text(const InputFile &file, const PeSection &s) {
    std::string text;
    read_section(file, s, [&](const std::uint8_t *data, std::size_t n) {
        if (text.size() < TEXT_MAX)
            text.append(reinterpret_cast<const char *>(data), std::min(n, TEXT_MAX - text.size()));
    });
    return text.substr(0, text.find('\0'));
}

bool is_text_section(const std::string &name) {
    return std::find(std::begin(TEXT_SECTIONS), std::end(TEXT_SECTIONS), name) != std::end(TEXT_SECTIONS);
}

// A ".profile" field (ID=, TITLE=), its value without surrounding quotes; empty when missing.
std::string profile_field(const std::string &text, const std::string &key) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = std::min(text.find('\n', pos), text.size());
        std::string line = text.substr(pos, end - pos);
        if (line.starts_with(key + "=")) {
            std::string value = line.substr(key.size() + 1);
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
                value = value.substr(1, value.size() - 2);
            return value;
        }
        pos = end + 1;
    }
    return "";
}

struct Group {
    std::optional<std::uint32_t> profile;
    std::vector<std::size_t> sections; // table indices
};

std::vector<Group> groups_of(const std::vector<PeSection> &sections) {
    std::vector<Group> groups(1);
    for (std::size_t i = 0; i < sections.size(); i++) {
        if (sections[i].name == PROFILE_SECTION)
            groups.push_back({static_cast<std::uint32_t>(groups.size() - 1), {}});
        groups.back().sections.push_back(i);
    }
    return groups;
}

struct Inspection {
    std::string path;
    std::uint64_t file_size;
    bool is_signed;
    PeFacts facts;
    std::string kind;
    std::vector<PeSection> sections;
    std::vector<MeasuredSection> measured; // digests in every bank, for every section
    std::vector<std::string> texts;        // by table index, for the text sections
};

std::vector<Bank> all_banks() {
    return {std::begin(ALL_BANKS), std::end(ALL_BANKS)};
}

std::string sha256_of(const Inspection &in, std::size_t i) {
    std::vector<Bank> banks = all_banks();
    auto sha256 = std::find(banks.begin(), banks.end(), Bank::sha256) - banks.begin();
    return hex_string(in.measured[i].digests[static_cast<std::size_t>(sha256)]);
}

Json section_json(const Inspection &in, std::size_t i) {
    const PeSection &s = in.sections[i];
    Json j = Json::Object{};
    j.set("index", Json(std::uint64_t{i}));
    j.set("name", s.name);
    j.set("size", Json(s.virtual_size));
    j.set("file_offset", Json(s.pointer_to_raw_data));
    j.set("sha256", sha256_of(in, i));
    if (is_text_section(s.name))
        j.set("text", in.texts[i]);
    return j;
}

void print_json(const Inspection &in, std::ostream &out) {
    Json doc = Json::Object{};
    doc.set("path", in.path);
    doc.set("kind", in.kind);
    doc.set("file_size", Json(in.file_size));
    doc.set("machine", Json(std::uint32_t{in.facts.machine}));
    doc.set("subsystem", Json(std::uint32_t{in.facts.subsystem}));
    doc.set("image_version", std::to_string(in.facts.major_version) + "." + std::to_string(in.facts.minor_version));
    doc.set("size_of_image", Json(in.facts.size_of_image));
    doc.set("signed", in.is_signed);
    Json &groups = doc.set("groups", Json::Array{});
    for (const Group &g : groups_of(in.sections)) {
        Json &group = groups.push(Json::Object{});
        group.set("profile", g.profile ? Json(*g.profile) : Json());
        if (g.profile) {
            const std::string &text = in.texts[g.sections.front()];
            std::string id = profile_field(text, "ID"), title = profile_field(text, "TITLE");
            group.set("id", id.empty() ? Json() : Json(id));
            group.set("title", title.empty() ? Json() : Json(title));
        }
        Json &list = group.set("sections", Json::Array{});
        for (std::size_t i : g.sections)
            list.push(section_json(in, i));
    }
    doc.set("boots", in.kind == "uki" ? pcr11_json(in.measured, all_banks(), {}) : Json::Array{});
    out << doc.dump() << "\n";
}

void print_text(const Inspection &in, std::ostream &out) {
    out << in.path << ": " << (in.kind == "uki" ? "unified kernel image" : in.kind == "addon" ? "add-on" : "PE image")
        << "\n  machine " << hex_text(in.facts.machine) << ", " << subsystem_name(in.facts.subsystem)
        << ", image version " << in.facts.major_version << "." << in.facts.minor_version << ", " << in.file_size
        << " bytes (" << in.facts.size_of_image << " in memory), " << (in.is_signed ? "signed" : "not signed") << "\n";
    for (const Group &g : groups_of(in.sections)) {
        out << (g.profile ? "profile " + std::to_string(*g.profile) : std::string("base"));
        if (g.profile) {
            const std::string &text = in.texts[g.sections.front()];
            for (const char *key : {"ID", "TITLE"})
                if (std::string value = profile_field(text, key); !value.empty())
                    out << " " << key << "=" << json_quote(value);
        }
        out << ":\n";
        for (std::size_t i : g.sections) {
            const PeSection &s = in.sections[i];
            out << "  " << std::setw(2) << i << " " << std::left << std::setw(9) << s.name << std::right
                << std::setw(11) << s.virtual_size << " at " << std::setw(10) << hex_text(s.pointer_to_raw_data)
                << "  sha256 " << sha256_of(in, i) << "\n";
            if (is_text_section(s.name))
                out << "     " << json_quote(in.texts[i]) << "\n";
        }
    }
    if (in.kind == "uki") {
        out << "PCR 11:\n";
        print_pcr11(out, in.measured, all_banks(), {}, "  ");
    }
}

} // namespace

void run_inspect(const std::string &path, bool json, std::ostream &out) {
    InputFile file(path);
    PeHeaders headers = load_pe_headers(file);
    Inspection in{path, file.size(), headers.has_certificate_table, pe_facts(headers), kind_of(headers.sections),
                  headers.sections, measure_sections_of(file, headers.sections, all_banks(), true), {}};
    for (const PeSection &s : in.sections)
        in.texts.push_back(is_text_section(s.name) ? section_text(file, s) : "");
    if (json)
        print_json(in, out);
    else
        print_text(in, out);
}

} // namespace korvane
