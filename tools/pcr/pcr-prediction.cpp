#include "pcr-prediction.h"

#include "tool-error.h"

#include <algorithm>

namespace korvane {

namespace {

// Takes exactly one ".dtbauto" header, as a machine that matches only its blob would.
bool only_this_header(const PeSectionHeader *header, std::size_t, void *context) {
    return header == static_cast<const PeSectionHeader *>(context);
}

void locate_group(std::span<const PeSectionHeader> table, std::uint32_t profile, const PeSectionHeader *dtbauto,
                  PeSectionSpan *out) {
    const PeSectionHeader *start = nullptr;
    std::size_t n = 0;
    if (pe_profile_range(table.data(), table.size(), profile, &start, &n))
        pe_locate_sections_with(start, n, image_section_names, only_this_header,
                                const_cast<PeSectionHeader *>(dtbauto), out);
}

// The stub's section array for one boot: the base, then the profile laid over it.
void select_sections(std::span<const PeSectionHeader> table, const BootChoice &boot,
                     PeSectionSpan (&out)[IMAGE_SECTION_COUNT]) {
    const PeSectionHeader *dtbauto = boot.dtbauto ? &table[*boot.dtbauto] : nullptr;
    std::fill(std::begin(out), std::end(out), PeSectionSpan{});
    locate_group(table, PROFILE_BASE, dtbauto, out);
    if (boot.profile)
        locate_group(table, *boot.profile, dtbauto, out);
}

std::size_t count_profiles(std::span<const PeSectionHeader> table) {
    return static_cast<std::size_t>(std::count_if(table.begin(), table.end(), [](const PeSectionHeader &h) {
        return pe_section_name_equal(h.Name, image_section_names[SECTION_PROFILE]);
    }));
}

// The ".dtbauto" headers a boot's lookups see: the base's, then its profile's.
std::vector<std::size_t> dtbauto_candidates(std::span<const PeSectionHeader> table,
                                            std::optional<std::uint32_t> profile) {
    std::vector<std::size_t> found;
    auto collect = [&](std::uint32_t group) {
        const PeSectionHeader *start = nullptr;
        std::size_t n = 0;
        if (!pe_profile_range(table.data(), table.size(), group, &start, &n))
            return;
        for (std::size_t i = 0; i < n; i++)
            if (pe_section_name_equal(start[i].Name, image_section_names[SECTION_DTBAUTO]))
                found.push_back(static_cast<std::size_t>(&start[i] - table.data()));
    };
    collect(PROFILE_BASE);
    if (profile)
        collect(*profile);
    return found;
}

std::size_t section_at(std::span<const MeasuredSection> sections, const SectionMeasurement &m) {
    for (std::size_t i = 0; i < sections.size(); i++)
        if (sections[i].header.VirtualAddress == m.offset && sections[i].header.VirtualSize == m.size)
            return i;
    throw ToolError(m.description, "the measured section is not in the table");
}

} // namespace

bool is_measured_section(const std::string &name) {
    for (std::size_t i = 0; i < IMAGE_SECTION_COUNT; i++)
        if (name == image_section_names[i])
            return i != SECTION_PCRSIG;
    return false;
}

std::vector<BootChoice> boot_choices(std::span<const PeSectionHeader> table) {
    std::vector<std::optional<std::uint32_t>> profiles;
    std::size_t n_profiles = count_profiles(table);
    PeSectionSpan base[IMAGE_SECTION_COUNT];
    select_sections(table, {}, base);
    if (n_profiles == 0 || base[SECTION_LINUX].mem_size != 0)
        profiles.push_back(std::nullopt);
    for (std::uint32_t p = 0; p < n_profiles; p++)
        profiles.push_back(p);

    std::vector<BootChoice> boots;
    for (const auto &profile : profiles) {
        boots.push_back({profile, std::nullopt});
        for (std::size_t index : dtbauto_candidates(table, profile))
            boots.push_back({profile, index});
    }
    return boots;
}

Bytes pcr_extend(Bank bank, const Bytes &value, const Bytes &digest) {
    Digest d(bank);
    d.add(value.data(), value.size());
    d.add(digest.data(), digest.size());
    return d.finish();
}

std::vector<Bytes> predict_pcr11(std::span<const MeasuredSection> sections, const BootChoice &boot,
                                 const std::vector<Bank> &banks, std::span<const std::string> phases) {
    std::vector<PeSectionHeader> table;
    for (const MeasuredSection &s : sections)
        table.push_back(s.header);
    PeSectionSpan selected[IMAGE_SECTION_COUNT];
    select_sections(table, boot, selected);
    SectionMeasurement measurements[SECTION_MEASUREMENTS_MAX];
    std::size_t n = pe_section_measurements(selected, measurements);

    std::vector<Bytes> values;
    for (std::size_t b = 0; b < banks.size(); b++) {
        Bytes value(bank_digest_size(banks[b]), 0);
        for (std::size_t i = 0; i < n; i++) {
            const SectionMeasurement &m = measurements[i];
            value = pcr_extend(banks[b], value,
                               m.data ? digest_of(banks[b], m.data, m.size)
                                      : sections[section_at(sections, m)].digests.at(b));
        }
        for (const std::string &phase : phases)
            value = pcr_extend(banks[b], value, digest_of(banks[b], phase));
        values.push_back(std::move(value));
    }
    return values;
}

} // namespace korvane
