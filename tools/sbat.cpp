#include "sbat.h"

#include "tool-error.h"

#include <charconv>
#include <map>
#include <set>
#include <vector>

namespace korvane {

namespace {

// component, generation, vendor, package, version, URL: shim cannot parse a line with fewer.
constexpr std::size_t FIELDS = 6;
constexpr std::string_view FORMAT_COMPONENT = "sbat";

struct SbatLine {
    std::size_t number; // from 1
    std::string_view text;
    std::string_view component;
    std::string_view generation;
};

std::vector<std::string_view> split_fields(std::string_view line) {
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
        std::size_t comma = line.find(',', start);
        fields.push_back(line.substr(start, comma - start));
        if (comma == std::string_view::npos)
            return fields;
        start = comma + 1;
    }
}

bool is_generation(std::string_view text) {
    std::uint32_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value != 0 && text[0] != '0';
}

SbatLine parse_line(std::string_view text, std::size_t number, const std::string &what) {
    auto fail = [&](const std::string &why) { throw ToolError(what, "line " + std::to_string(number) + ": " + why); };
    if (text.empty())
        fail("empty line");
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            fail("control character");
        if (c == '"')
            fail("a quote: SBAT fields are never quoted");
    }
    std::vector<std::string_view> fields = split_fields(text);
    if (fields.size() != FIELDS)
        fail(std::to_string(fields.size()) + " fields instead of 6: component, generation, vendor, package, version, URL");
    if (fields[0].empty() || fields[0].find(' ') != std::string_view::npos)
        fail("the component name \"" + std::string(fields[0]) + "\" is empty or has a blank");
    if (!is_generation(fields[1]))
        fail("the generation \"" + std::string(fields[1]) + "\" is no whole number from 1 to 4294967295");
    return {number, text, fields[0], fields[1]};
}

std::vector<SbatLine> parse_lines(std::string_view text, const std::string &what) {
    std::vector<SbatLine> lines;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        lines.push_back(parse_line(line, lines.size() + 1, what));
    }
    return lines;
}

} // namespace

std::string check_sbat(std::string_view text, const std::string &what) {
    std::string out;
    for (const SbatLine &line : parse_lines(text, what))
        out.append(line.text).push_back('\n');
    return out;
}

std::string merge_sbat(std::string_view base_lines, std::string_view user_lines, const std::string &what) {
    std::string out(base_lines);
    std::map<std::string_view, std::string_view> in_base; // component -> generation
    for (const SbatLine &line : parse_lines(base_lines, what))
        in_base.emplace(line.component, line.generation);
    std::set<std::string_view> in_user;
    for (const SbatLine &line : parse_lines(user_lines, what)) {
        std::string at = "line " + std::to_string(line.number) + ": ";
        std::string component(line.component);
        auto base = in_base.find(line.component);
        if (base != in_base.end() && line.component == FORMAT_COMPONENT) {
            if (base->second != line.generation)
                throw ToolError(what, at + "SBAT format " + std::string(line.generation) +
                                          ", but the base image's lines are of format " + std::string(base->second));
            continue;
        }
        if (base != in_base.end())
            throw ToolError(what, at + "\"" + component + "\" is listed in the base image's own lines already");
        if (!in_user.insert(line.component).second)
            throw ToolError(what, at + "a second \"" + component + "\" line");
        out.append(line.text).push_back('\n');
    }
    return out;
}

} // namespace korvane
