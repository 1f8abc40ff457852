// `korvane-uki measure`: PCR 11 as the stub will leave it, predicted for every way an image
// boots, from the image or from the options that would build it; and the report of those
// values that `inspect` shares.
#pragma once

#include "json.h"
#include "pcr/pcr-prediction.h"
#include "uki-build.h"

#include <ostream>
#include <string>
#include <vector>

namespace korvane {

struct MeasureRequest {
    std::string image;                   // an existing image, or else:
    std::string stub;                    // the stub and the sections that build would append
    std::vector<SectionSource> sections;
    std::vector<Bank> banks;
    std::vector<std::string> phases;
    bool json = false;
};

void run_measure(const MeasureRequest &request, std::ostream &out, std::ostream &warnings);

// The predicted values of every boot of the image whose sections these are:
//   [{"profile": N or null, "dtbauto": null or {"section": N, "compatible": TEXT},
//     "pcr11": {"BANK": HEX, ...}}, ...]
Json pcr11_json(std::span<const MeasuredSection> sections, const std::vector<Bank> &banks,
                std::span<const std::string> phases);
// The same as lines: "<boot>: <bank> <hex>", indented by indent.
void print_pcr11(std::ostream &out, std::span<const MeasuredSection> sections, const std::vector<Bank> &banks,
                 std::span<const std::string> phases, const std::string &indent);

} // namespace korvane
