#include "hwids-table.h"

#include "tool-error.h"

#include <cstdint>
#include <limits>
#include <map>
#include <set>

namespace korvane {

namespace {

struct Entry {
    Chid chid;
    const HwidDevice *device;
};

void put_le32(std::string &out, std::uint64_t value, const std::string &what) {
    if (value > std::numeric_limits<std::uint32_t>::max())
        throw ToolError(what, "the table is too large for 32-bit string offsets");
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<char>(value >> shift & 0xFF));
}

// Every CHID once, first use first, with the CHIDs that name two compatibles left out.
std::vector<Entry> unambiguous_entries(const std::vector<HwidDevice> &devices, const std::string &what,
                                       std::ostream &warnings) {
    std::vector<Entry> entries;
    std::map<Chid, const HwidDevice *> first_of;
    std::set<Chid> ambiguous;
    for (const HwidDevice &d : devices)
        for (const Chid &chid : d.chids) {
            auto [it, fresh] = first_of.try_emplace(chid, &d);
            if (fresh)
                entries.push_back({chid, &d});
            else if (it->second->compatible != d.compatible && ambiguous.insert(chid).second)
                warnings << "korvane-uki: " << what << ": warning: devices \"" << it->second->name << "\" and \""
                         << d.name << "\" share CHID " << chid_text(chid) << "; it is left out\n";
        }
    std::erase_if(entries, [&](const Entry &e) { return ambiguous.contains(e.chid); });
    for (const HwidDevice &d : devices) {
        bool kept = false;
        for (const Entry &e : entries)
            kept = kept || e.device == &d;
        if (!kept)
            throw ToolError(what, "device \"" + d.name + "\" has no CHID that tells it from the other devices");
    }
    return entries;
}

} // namespace

std::string encode_hwids_table(const std::vector<HwidDevice> &devices, const std::string &what,
                               std::ostream &warnings) {
    std::vector<Entry> entries = unambiguous_entries(devices, what, warnings);
    std::string strings;
    std::map<std::string, std::size_t> string_at;
    std::uint64_t strings_start = (entries.size() + 1) * HWID_ENTRY_SIZE;
    std::string table;
    for (const Entry &e : entries) {
        auto [it, fresh] = string_at.try_emplace(e.device->compatible, strings.size());
        if (fresh)
            strings.append(e.device->compatible).push_back('\0');
        put_le32(table, HWID_DESCRIPTOR_DEVICETREE, what);
        table.append(e.chid.begin(), e.chid.end());
        put_le32(table, 0, what);
        put_le32(table, strings_start + it->second, what);
    }
    table.append(HWID_ENTRY_SIZE, '\0');
    if (strings_start + strings.size() > std::numeric_limits<std::uint32_t>::max())
        throw ToolError(what, "the table is too large for 32-bit string offsets");
    return table + strings;
}

} // namespace korvane
