#include "json.h"

namespace korvane {

namespace {

// The length of the valid UTF-8 sequence at s[i], 0 when there is none.
std::size_t utf8_sequence(const std::string &s, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size())
        return 0;
    std::uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (std::size_t k = 1; k < n; k++) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        cp = cp << 6 | (byte(i + k) & 0x3F);
    }
    static constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < smallest[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

void newline(std::string &out, bool indent, int depth) {
    if (indent)
        out += "\n" + std::string(static_cast<std::size_t>(depth) * 2, ' ');
}

} // namespace

std::string json_quote(const std::string &s) {
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        std::size_t n = utf8_sequence(s, i);
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (n == 0) {
            out += "\\ufffd";
            i++;
            continue;
        }
        if (c == '"' || c == '\\')
            out += {'\\', static_cast<char>(c)};
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c < 0x20 || c == 0x7F)
            out += std::string("\\u00") + hex[c >> 4] + hex[c & 0xF];
        else
            out.append(s, i, n);
        i += n;
    }
    return out + "\"";
}

Json &Json::push(Json value) {
    if (std::holds_alternative<std::nullptr_t>(value_))
        value_ = Array{};
    auto &array = std::get<Array>(value_);
    array.push_back(std::move(value));
    return array.back();
}

Json &Json::set(const std::string &key, Json value) {
    if (std::holds_alternative<std::nullptr_t>(value_))
        value_ = Object{};
    auto &object = std::get<Object>(value_);
    object.emplace_back(key, std::move(value));
    return object.back().second;
}

std::string Json::dump(bool indent) const {
    std::string out;
    write(out, indent, 0);
    return out;
}

void Json::write(std::string &out, bool indent, int depth) const {
    if (std::holds_alternative<std::nullptr_t>(value_)) {
        out += "null";
    } else if (const bool *b = std::get_if<bool>(&value_)) {
        out += *b ? "true" : "false";
    } else if (const std::uint64_t *n = std::get_if<std::uint64_t>(&value_)) {
        out += std::to_string(*n);
    } else if (const std::string *s = std::get_if<std::string>(&value_)) {
        out += json_quote(*s);
    } else if (const Array *a = std::get_if<Array>(&value_)) {
        out += "[";
        for (std::size_t i = 0; i < a->size(); i++) {
            out += i ? "," : "";
            newline(out, indent, depth + 1);
            (*a)[i].write(out, indent, depth + 1);
        }
        if (!a->empty())
            newline(out, indent, depth);
        out += "]";
    } else {
        const Object &o = std::get<Object>(value_);
        out += "{";
        for (std::size_t i = 0; i < o.size(); i++) {
            out += i ? "," : "";
            newline(out, indent, depth + 1);
            out += json_quote(o[i].first) + (indent ? ": " : ":");
            o[i].second.write(out, indent, depth + 1);
        }
        if (!o.empty())
            newline(out, indent, depth);
        out += "}";
    }
}

} // namespace korvane
