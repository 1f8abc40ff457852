#include "hwids-description.h"

#include "tool-error.h"

#include <array>
#include <optional>

namespace korvane {

namespace {

constexpr std::array<std::string_view, CHID_FIELD_COUNT> FIELD_KEYS = {
    "manufacturer", "family", "product-name", "sku", "baseboard-manufacturer", "baseboard-product",
};

std::string_view trim(std::string_view s) {
    std::size_t begin = s.find_first_not_of(" \t");
    if (begin == std::string_view::npos)
        return {};
    return s.substr(begin, s.find_last_not_of(" \t") + 1 - begin);
}

// Values keep their tabs: the stub hashes identity strings as they are.
std::string_view trim_blanks(std::string_view s) {
    std::size_t begin = s.find_first_not_of(' ');
    if (begin == std::string_view::npos)
        return {};
    return s.substr(begin, s.find_last_not_of(' ') + 1 - begin);
}

struct DeviceBlock {
    std::string name;
    std::string where; // "path:line" of its header
    std::optional<std::string> compatible;
    std::array<std::optional<std::string>, CHID_FIELD_COUNT> fields;
    std::vector<Chid> chids;
};

std::vector<Chid> identity_chids(const DeviceBlock &d) {
    std::array<std::u16string, CHID_FIELD_COUNT> normalised;
    for (std::size_t f = 0; f < CHID_FIELD_COUNT; f++)
        if (d.fields[f])
            normalised[f] = chid_normalize_field(*d.fields[f], d.where + ": " + std::string(FIELD_KEYS[f]));
    std::vector<Chid> chids;
    for (const ChidType &type : CHID_TYPES) {
        bool all_given = true;
        for (std::size_t f = 0; f < CHID_FIELD_COUNT; f++)
            if ((type.mask & (1u << f)) && !d.fields[f])
                all_given = false;
        if (all_given)
            chids.push_back(chid_compute(normalised, type.mask));
    }
    return chids;
}

HwidDevice finish(const DeviceBlock &d) {
    if (!d.compatible)
        throw ToolError(d.where, "device \"" + d.name + "\" has no compatible");
    bool has_identity = false;
    for (const auto &f : d.fields)
        has_identity = has_identity || f.has_value();
    if (has_identity && !d.chids.empty())
        throw ToolError(d.where, "device \"" + d.name + "\" has both chid lines and identity fields");
    if (has_identity && !d.fields[CHID_MANUFACTURER])
        throw ToolError(d.where, "device \"" + d.name + "\" has identity fields but no manufacturer");
    if (!has_identity && d.chids.empty())
        throw ToolError(d.where, "device \"" + d.name + "\" has neither chid lines nor identity fields");
    if (!has_identity)
        return {d.name, *d.compatible, d.chids};
    std::vector<Chid> chids = identity_chids(d);
    if (chids.empty())
        throw ToolError(d.where, "device \"" + d.name + "\" gives too few identity fields for any CHID type");
    return {d.name, *d.compatible, chids};
}

class Parser {
public:
    explicit Parser(const std::string &path) : path_(path) {}

    void line(std::string_view raw, std::size_t number) {
        where_ = path_ + ":" + std::to_string(number);
        if (raw.find('\0') != std::string_view::npos)
            fail("a NUL byte");
        std::string_view s = trim(raw);
        if (s.empty() || s[0] == '#' || s[0] == ';')
            return;
        if (s[0] == '[')
            header(s);
        else
            assignment(raw);
    }

    std::vector<HwidDevice> devices() {
        close_block();
        if (devices_.empty())
            throw ToolError(path_, "describes no device");
        return std::move(devices_);
    }

private:
    [[noreturn]] void fail(const std::string &why) const { throw ToolError(where_, why); }

    void header(std::string_view s) {
        if (s.back() != ']')
            fail("a device header is \"[NAME]\"");
        std::string name(trim(s.substr(1, s.size() - 2)));
        if (name.empty())
            fail("a device needs a name");
        for (const HwidDevice &d : devices_)
            if (d.name == name)
                fail("a second device named \"" + name + "\"");
        if (block_ && block_->name == name)
            fail("a second device named \"" + name + "\"");
        close_block();
        block_ = DeviceBlock{name, where_, {}, {}, {}};
    }

    // From the raw line: tabs inside an identity value are part of it.
    void assignment(std::string_view s) {
        std::size_t eq = s.find('=');
        if (eq == std::string_view::npos)
            fail("expected \"[NAME]\" or \"key = value\"");
        std::string key(trim(s.substr(0, eq)));
        std::string_view value = trim_blanks(s.substr(eq + 1));
        if (!block_)
            fail("\"" + key + "\" before the first \"[NAME]\"");
        if (key == "compatible")
            set_once(block_->compatible, key, value);
        else if (key == "chid")
            add_chid(value);
        else if (std::optional<std::size_t> f = field_index(key))
            set_once(block_->fields[*f], key, value);
        else
            fail("unknown key \"" + key + "\"");
    }

    static std::optional<std::size_t> field_index(const std::string &key) {
        for (std::size_t f = 0; f < CHID_FIELD_COUNT; f++)
            if (FIELD_KEYS[f] == key)
                return f;
        return std::nullopt;
    }

    void set_once(std::optional<std::string> &slot, const std::string &key, std::string_view value) {
        if (slot)
            fail("a second \"" + key + "\" for device \"" + block_->name + "\"");
        if (key == "compatible" && value.empty())
            fail("an empty compatible");
        slot = std::string(value);
    }

    void add_chid(std::string_view value) {
        std::optional<Chid> chid = chid_parse(value);
        if (!chid)
            fail("\"" + std::string(value) + "\" is not a CHID (xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx)");
        block_->chids.push_back(*chid);
    }

    void close_block() {
        if (block_)
            devices_.push_back(finish(*block_));
        block_.reset();
    }

    std::string path_;
    std::string where_;
    std::optional<DeviceBlock> block_;
    std::vector<HwidDevice> devices_;
};

} // namespace

std::vector<HwidDevice> parse_hwids_description(std::string_view text, const std::string &path) {
    Parser parser(path);
    std::size_t number = 1;
    for (std::size_t start = 0; start < text.size(); number++) {
        std::size_t end = text.find('\n', start);
        std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        parser.line(line, number);
        start = end == std::string_view::npos ? text.size() : end + 1;
    }
    return parser.devices();
}

} // namespace korvane
