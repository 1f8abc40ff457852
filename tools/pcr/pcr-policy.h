// Signed PCR policies: the TPM 2.0 policy digest of a PCR 11 value, the key that signs it
// for TPM2_PolicyAuthorize, and the ".pcrsig" JSON that carries the signatures.
#pragma once

#include "digest.h"

#include <memory>
#include <span>
#include <string>

struct evp_pkey_st;

namespace korvane {

// The digest of a SHA-256 policy session after TPM2_PolicyPCR selecting PCR 11 of this bank,
// with pcr_value its value (TPM 2.0 Part 3, 23.7): SHA-256(0^32 || TPM_CC_PolicyPCR ||
// TPML_PCR_SELECTION || SHA-256(pcr_value)), integers big-endian.
Bytes policy_pcr11_digest(Bank bank, const Bytes &pcr_value);

class PcrSigningKey {
public:
    // An RSA key of 2048 to 4096 bits or a P-256 key, as unencrypted PEM; public_path, when
    // not empty, must hold its public half. Throws ToolError otherwise.
    PcrSigningKey(const std::string &private_path, const std::string &public_path);
    ~PcrSigningKey();
    PcrSigningKey(PcrSigningKey &&) noexcept;

    // The public key as PEM (SubjectPublicKeyInfo).
    const std::string &public_pem() const { return public_pem_; }
    // SHA-256 of the DER SubjectPublicKeyInfo.
    const Bytes &fingerprint() const { return fingerprint_; }
    std::size_t max_signature_size() const;

    // What TPM2_VerifySignature takes for TPM2_PolicyAuthorize over policy (empty policyRef):
    // RSASSA-PKCS1-v1_5 or ECDSA (DER) with SHA-256 over SHA-256(policy).
    Bytes sign(const Bytes &policy) const;

private:
    struct Free {
        void operator()(evp_pkey_st *key) const;
    };
    std::unique_ptr<evp_pkey_st, Free> key_;
    std::string public_pem_;
    Bytes fingerprint_;
};

struct SignedPolicy {
    Bank bank;
    Bytes policy;
    Bytes signature;
};

// The ".pcrsig" document: an object keyed by bank name, each an array of
// {"pcrs": [11], "pkfp": HEX, "pol": HEX, "sig": BASE64} in the order given; compact, with
// spaces before its final newline up to size (when the text is shorter).
std::string pcrsig_json(std::span<const SignedPolicy> policies, const Bytes &fingerprint, std::size_t size = 0);

} // namespace korvane
