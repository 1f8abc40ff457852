// The image tool's ".hwids" description parser and table writer over fuzzed text. Errors name
// the file; a parsed device has a compatible string and CHIDs; the table written from it reads
// back as the stub reads it: entries up to an end marker, each naming a NUL-terminated string
// inside the table that is the compatible of a device carrying that CHID.
#include <cstring>
#include <sstream>

#include "check.h"
#include "hwids-description.h"
#include "hwids-table.h"
#include "tool-error.h"

namespace {

uint32_t le32(const std::string &s, size_t at) {
    auto b = [&](size_t i) { return uint32_t(uint8_t(s[at + i])); };
    return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}

bool device_has(const std::vector<korvane::HwidDevice> &devices, const std::string &compatible,
                const std::string &chid) {
    for (const korvane::HwidDevice &d : devices)
        if (d.compatible == compatible)
            for (const korvane::Chid &c : d.chids)
                if (memcmp(c.data(), chid.data(), 16) == 0)
                    return true;
    return false;
}

void check_table(const std::string &table, const std::vector<korvane::HwidDevice> &devices) {
    size_t n = 0;
    for (; (n + 1) * korvane::HWID_ENTRY_SIZE < table.size(); n++) {
        size_t at = n * korvane::HWID_ENTRY_SIZE;
        uint32_t descriptor = le32(table, at);
        if (descriptor == 0)
            break;
        FUZZ_CHECK(descriptor == korvane::HWID_DESCRIPTOR_DEVICETREE);
        uint32_t offset = le32(table, at + 24);
        FUZZ_CHECK(offset > at && offset < table.size());
        size_t end = table.find('\0', offset);
        FUZZ_CHECK(end != std::string::npos);
        FUZZ_CHECK(device_has(devices, table.substr(offset, end - offset), table.substr(at + 4, 16)));
    }
    FUZZ_CHECK((n + 1) * korvane::HWID_ENTRY_SIZE <= table.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    std::vector<korvane::HwidDevice> devices;
    try {
        devices = korvane::parse_hwids_description(text, "hwids.ini");
    } catch (const korvane::ToolError &e) {
        FUZZ_CHECK(strncmp(e.what(), "hwids.ini", 9) == 0 && !strchr(e.what(), '\n'));
        return 0;
    }
    for (const korvane::HwidDevice &d : devices)
        FUZZ_CHECK(!d.compatible.empty() && !d.chids.empty() && d.compatible.find('\0') == std::string::npos);
    std::ostringstream warnings;
    try {
        check_table(korvane::encode_hwids_table(devices, "hwids.ini", warnings), devices);
    } catch (const korvane::ToolError &e) {
        FUZZ_CHECK(strncmp(e.what(), "hwids.ini", 9) == 0 && !strchr(e.what(), '\n'));
    }
    return 0;
}
