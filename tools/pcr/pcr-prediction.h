// PCR 11 as the stub leaves it, predicted from a section table and the digests of the
// sections' contents: for every way the image can boot, the stub's selection of sections
// (the same code the stub runs) and its measurements, replayed in each bank, followed by the
// events of later boot phases.
#pragma once

#include "digest.h"
#include "fundamental/section-table.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korvane {

struct MeasuredSection {
    PeSectionHeader header;
    std::vector<Bytes> digests; // of its VirtualSize bytes, one per bank; empty when never measured
    std::string compatible;     // of a ".dtbauto" blob: its root "compatible", when it has one
};

// Whether the stub ever measures a section of this name into PCR 11.
bool is_measured_section(const std::string &name);

// One way the image boots: a profile (nullopt: the base group alone) and the ".dtbauto"
// section the machine takes (its table index; nullopt: none matches the machine).
struct BootChoice {
    std::optional<std::uint32_t> profile;
    std::optional<std::size_t> dtbauto;
};

// Every boot the stub can make of the image: each profile, and the base alone when an image
// without profiles is booted or when the base carries a kernel of its own (a boot loader
// selects it with "@4294967295"); for each of them, each ".dtbauto" its group can choose, and
// none at all. In table order.
std::vector<BootChoice> boot_choices(std::span<const PeSectionHeader> table);

// PCR 11 after the stub's measurements for this boot and then one extend of the digest of
// each phase text, per bank (the order of the sections' digests).
std::vector<Bytes> predict_pcr11(std::span<const MeasuredSection> sections, const BootChoice &boot,
                                 const std::vector<Bank> &banks, std::span<const std::string> phases);

// A PCR extend: H(value || digest).
Bytes pcr_extend(Bank bank, const Bytes &value, const Bytes &digest);

} // namespace korvane
