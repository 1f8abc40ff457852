// The ".pcrpkey" and ".pcrsig" of an image being built: one signed policy per bank, per way
// the image boots and per phase path, over the PCR 11 value predicted from the sections
// written before it.
#pragma once

#include "pcr-policy.h"
#include "pcr-prediction.h"

#include <span>
#include <string>
#include <vector>

namespace korvane {

struct PcrSigningRequest {
    std::string private_key;
    std::string public_key; // may be empty
    std::vector<Bank> banks;
    // Each path lists the phase texts a later boot stage extends into PCR 11, in order; the
    // empty path signs the value the stub leaves.
    std::vector<std::vector<std::string>> phase_paths;
};

class PcrPolicySigner {
public:
    // Loads and checks the key.
    explicit PcrPolicySigner(PcrSigningRequest request);

    const std::string &public_pem() const { return key_.public_pem(); }
    const std::vector<Bank> &banks() const { return request_.banks; }

    // The size of the ".pcrsig" of an image with this section table, whatever the sections hold.
    std::size_t signature_size(std::span<const PeSectionHeader> table) const;
    // The ".pcrsig" of the image whose sections (with their digests in banks()) these are.
    std::string signature(std::span<const MeasuredSection> sections, std::size_t size) const;

private:
    PcrSigningRequest request_;
    PcrSigningKey key_;
};

} // namespace korvane
