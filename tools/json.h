// JSON documents for the tools' machine-readable output: a small value tree written either
// compact (one line) or indented. Text is written as UTF-8; bytes that are no valid UTF-8
// become U+FFFD, so that every document parses.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace korvane {

class Json {
public:
    using Array = std::vector<Json>;
    using Object = std::vector<std::pair<std::string, Json>>; // keys in insertion order

    Json() : value_(nullptr) {}
    Json(std::nullptr_t) : value_(nullptr) {}
    Json(bool b) : value_(b) {}
    Json(std::uint64_t n) : value_(n) {}
    Json(std::uint32_t n) : value_(std::uint64_t{n}) {}
    Json(int n) : value_(static_cast<std::uint64_t>(n)) {}
    Json(std::string s) : value_(std::move(s)) {}
    Json(const char *s) : value_(std::string(s)) {}
    Json(Array a) : value_(std::move(a)) {}
    Json(Object o) : value_(std::move(o)) {}

    // An array or object to add to; the value becomes one when it is null.
    Json &push(Json value);
    Json &set(const std::string &key, Json value);

    // Indented by two spaces per level, or compact when indent is false.
    std::string dump(bool indent = true) const;

private:
    void write(std::string &out, bool indent, int depth) const;

    std::variant<std::nullptr_t, bool, std::uint64_t, std::string, Array, Object> value_;
};

// s as a JSON string literal, quotes included.
std::string json_quote(const std::string &s);

} // namespace korvane
