#include "pe-builder.h"

#include <algorithm>
#include <cstring>

namespace testsupport {

namespace {

template <typename T> void put(std::vector<uint8_t> &b, size_t offset, T value) {
    std::memcpy(b.data() + offset, &value, sizeof(value));
}

uint32_t pages_for(uint32_t n) { return std::max<uint32_t>(1, (n + PE_BUILDER_PAGE - 1) / PE_BUILDER_PAGE); }

} // namespace

std::vector<uint8_t> bytes_of(const std::string &s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> build_pe(const PeImageSpec &spec) {
    const size_t optional_size = 240; // PE32+ with 16 data directories
    const size_t table = spec.e_lfanew + 24 + optional_size;
    uint32_t headers = pages_for(uint32_t(table + 40 * spec.sections.size())) * PE_BUILDER_PAGE;

    uint32_t image_size = headers;
    std::vector<uint32_t> addresses;
    for (const auto &s : spec.sections) {
        addresses.push_back(image_size);
        uint32_t vsize = s.virtual_size.value_or(uint32_t(s.data.size()));
        uint32_t rsize = s.raw_size.value_or(uint32_t(s.data.size()));
        image_size += pages_for(std::max({vsize, rsize, uint32_t(s.data.size())})) * PE_BUILDER_PAGE;
    }

    std::vector<uint8_t> b(image_size);
    b[0] = 'M';
    b[1] = 'Z';
    put<uint32_t>(b, 0x3c, spec.e_lfanew);
    size_t pe = spec.e_lfanew;
    std::memcpy(&b[pe], "PE\0\0", 4);
    put<uint16_t>(b, pe + 4, spec.machine);
    put<uint16_t>(b, pe + 6, spec.number_of_sections.value_or(uint16_t(spec.sections.size())));
    put<uint16_t>(b, pe + 20, uint16_t(optional_size));
    put<uint16_t>(b, pe + 22, 0x0022); // executable, large address aware
    size_t opt = pe + 24;
    put<uint16_t>(b, opt, spec.magic);
    put<uint32_t>(b, opt + 16, spec.entry_point);
    put<uint64_t>(b, opt + 24, 0x140000000ULL);
    put<uint32_t>(b, opt + 32, PE_BUILDER_PAGE);
    put<uint32_t>(b, opt + 36, PE_BUILDER_PAGE);
    put<uint16_t>(b, opt + 44, spec.major_image_version);
    put<uint32_t>(b, opt + 56, image_size);
    put<uint32_t>(b, opt + 60, headers);
    put<uint16_t>(b, opt + 68, 10); // EFI application
    put<uint32_t>(b, opt + 108, 16);

    for (size_t i = 0; i < spec.sections.size(); i++) {
        const auto &s = spec.sections[i];
        size_t h = table + 40 * i;
        std::memcpy(&b[h], s.name.data(), std::min<size_t>(8, s.name.size()));
        put<uint32_t>(b, h + 8, s.virtual_size.value_or(uint32_t(s.data.size())));
        put<uint32_t>(b, h + 12, addresses[i]);
        put<uint32_t>(b, h + 16, s.raw_size.value_or(uint32_t(s.data.size())));
        put<uint32_t>(b, h + 20, addresses[i]);
        put<uint32_t>(b, h + 36, 0x40000040); // initialized data, readable
        std::copy(s.data.begin(), s.data.end(), b.begin() + addresses[i]);
    }
    return b;
}

} // namespace testsupport
