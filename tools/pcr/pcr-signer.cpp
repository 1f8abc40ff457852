#include "pcr-signer.h"

namespace korvane {

PcrPolicySigner::PcrPolicySigner(PcrSigningRequest request)
    : request_(std::move(request)), key_(request_.private_key, request_.public_key) {}

std::size_t PcrPolicySigner::signature_size(std::span<const PeSectionHeader> table) const {
    std::size_t boots = boot_choices(table).size();
    std::vector<SignedPolicy> placeholders;
    for (Bank bank : request_.banks)
        for (std::size_t i = 0; i < boots * request_.phase_paths.size(); i++)
            placeholders.push_back({bank, Bytes(32), Bytes(key_.max_signature_size())});
    return pcrsig_json(placeholders, key_.fingerprint()).size();
}

std::string PcrPolicySigner::signature(std::span<const MeasuredSection> sections, std::size_t size) const {
    std::vector<PeSectionHeader> table;
    for (const MeasuredSection &s : sections)
        table.push_back(s.header);
    std::vector<SignedPolicy> policies;
    for (const BootChoice &boot : boot_choices(table)) {
        for (const std::vector<std::string> &path : request_.phase_paths) {
            std::vector<Bytes> values = predict_pcr11(sections, boot, request_.banks, path);
            for (std::size_t b = 0; b < request_.banks.size(); b++) {
                Bytes policy = policy_pcr11_digest(request_.banks[b], values[b]);
                policies.push_back({request_.banks[b], policy, key_.sign(policy)});
            }
        }
    }
    return pcrsig_json(policies, key_.fingerprint(), size);
}

} // namespace korvane
