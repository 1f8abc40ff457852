#include "uki-sections.h"

#include "file-io.h"
#include "fundamental/section-table.h"
#include "pe-format.h"
#include "tool-error.h"

#include <algorithm>
#include <set>
#include <vector>

namespace korvane {

namespace {

// A section name the stub looks up.
bool is_known(const std::string &name) {
    for (std::size_t i = 0; i < IMAGE_SECTION_COUNT; i++)
        if (name == image_section_names[i])
            return true;
    return false;
}

std::string group_name(std::size_t group) {
    return group == 0 ? "the base" : "profile " + std::to_string(group - 1);
}

// Group 0 is the base, group k + 1 is profile k.
std::vector<std::vector<std::string>> split_groups(std::span<const std::string> names) {
    std::vector<std::vector<std::string>> groups(1);
    for (const std::string &name : names) {
        if (name == PROFILE_SECTION)
            groups.emplace_back();
        groups.back().push_back(name);
    }
    return groups;
}

void check_repeats(const std::vector<std::string> &group, std::size_t index, const std::string &what) {
    std::set<std::string> seen;
    for (const std::string &name : group) {
        if (!is_known(name) || name == ".dtbauto")
            continue;
        if (!seen.insert(name).second)
            throw ToolError(what,
                            "two " + name + " sections in " + group_name(index) + "; the stub reads only the first");
    }
}

bool has_kernel(const std::vector<std::string> &group) {
    return std::find(group.begin(), group.end(), ".linux") != group.end();
}

} // namespace

void check_section_name(const std::string &name, const std::string &what) {
    if (name.empty())
        throw ToolError(what, "empty section name");
    if (name.size() > pe::SECTION_NAME_SIZE)
        throw ToolError(what, "section name longer than 8 bytes");
    for (char c : name)
        if (c <= ' ' || c > '~')
            throw ToolError(what, "section names are printable ASCII without blanks");
}

void check_profile_groups(std::span<const std::string> names, const std::string &what) {
    std::vector<std::vector<std::string>> groups = split_groups(names);
    for (std::size_t i = 0; i < groups.size(); i++)
        check_repeats(groups[i], i, what);
    for (std::size_t i = 1; i < groups.size(); i++)
        if (std::find(groups[i].begin(), groups[i].end(), ".sbat") != groups[i].end())
            throw ToolError(what, "a .sbat section in " + group_name(i) +
                                      ": SBAT describes the whole image, give it before the first --profile");
    if (has_kernel(groups[0]))
        return;
    if (std::none_of(groups.begin(), groups.end(), has_kernel))
        throw ToolError(what, "no .linux section in the base or in any profile");
    for (std::size_t i = 1; i < groups.size(); i++)
        if (!has_kernel(groups[i]))
            throw ToolError(what, group_name(i) + " has no .linux section, and the base has none");
}

void check_addon_sections(std::span<const std::string> names, const std::string &what) {
    static constexpr std::string_view PAYLOADS[] = {".cmdline", ".dtb", ".dtbauto", ".initrd", ".ucode"};
    auto has = [&](std::string_view name) { return std::find(names.begin(), names.end(), name) != names.end(); };
    if (has(".linux"))
        throw ToolError(what, "an add-on must not carry a .linux section: the stub would take it for a unified "
                              "kernel image and skip it");
    if (has(PROFILE_SECTION))
        throw ToolError(what, "an add-on has no profiles, but its base image has a .profile section");
    if (std::none_of(std::begin(PAYLOADS), std::end(PAYLOADS), has))
        throw ToolError(what, "an add-on needs at least one of .cmdline, .dtb, .dtbauto, .initrd and .ucode");
    check_repeats(std::vector<std::string>(names.begin(), names.end()), 0, what);
}

void check_kernel_image(const InputFile &kernel) {
    auto fail = [&](const std::string &why) {
        throw ToolError(kernel.path(), "not a kernel the stub can start: " + why);
    };
    std::uint8_t dos[pe::DOS_HEADER_SIZE];
    if (kernel.size() < sizeof dos)
        fail("too short for a PE image");
    kernel.read_at(dos, sizeof dos, 0);
    if (pe::load_le16(dos) != pe::DOS_MAGIC)
        fail("no MZ signature");
    std::uint64_t pe_offset = pe::load_le32(dos + pe::DOS_LFANEW);
    std::uint8_t header[pe::OPTIONAL_HEADER + 2];
    if (pe_offset < pe::DOS_HEADER_SIZE || pe_offset + sizeof header > kernel.size())
        fail("no PE header");
    kernel.read_at(header, sizeof header, pe_offset);
    if (pe::load_le32(header) != pe::PE_SIGNATURE)
        fail("no PE signature");
    std::uint16_t machine = pe::load_le16(header + pe::COFF_MACHINE);
    if (machine != pe::MACHINE_X86_64 && machine != 0)
        fail("not an x86-64 image");
    if (pe::load_le16(header + pe::COFF_NUMBER_OF_SECTIONS) == 0)
        fail("no sections");
    std::uint16_t magic = pe::load_le16(header + pe::OPTIONAL_HEADER);
    if (magic != pe::MAGIC_PE32 && magic != pe::MAGIC_PE32_PLUS)
        fail("unknown optional header magic");
}

} // namespace korvane
