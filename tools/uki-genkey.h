// `korvane-uki genkey`: fresh keys for signing PCR policies and for Secure Boot. Existing
// files are never overwritten; private keys are written with mode 0600.
#pragma once

#include <string>

namespace korvane {

struct GenkeyRequest {
    std::string pcr_private_key, pcr_public_key; // both or neither
    unsigned rsa_bits = 2048;                    // for the PCR key, unless ec
    bool ec = false;                             // a P-256 PCR key
    std::string secureboot_private_key, secureboot_certificate; // both or neither
    std::string common_name = "korvane-boot Secure Boot signing key";
};

// Writes every file asked for, or none of them. Throws ToolError.
void generate_keys(const GenkeyRequest &request);

} // namespace korvane
