#include "pcr-policy.h"

#include "json.h"
#include "tool-error.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cassert>

namespace korvane {

namespace {

constexpr std::uint32_t TPM_CC_POLICY_PCR = 0x0000017F;
constexpr std::uint32_t PCR = 11;
constexpr std::size_t PCR_SELECT_SIZE = 3; // 24 PCRs

void put_be(Bytes &out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; i--)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

struct BioFree {
    void operator()(BIO *bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

struct KeyFree {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;

std::string openssl_reason() {
    unsigned long e = ERR_peek_last_error();
    ERR_clear_error();
    const char *reason = e ? ERR_reason_error_string(e) : nullptr;
    return reason ? reason : "unknown error";
}

KeyPtr read_key(const std::string &path, bool private_key) {
    BioPtr bio(BIO_new_file(path.c_str(), "r"));
    if (!bio)
        throw ToolError(path, "cannot open: " + openssl_reason());
    KeyPtr key(private_key ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, const_cast<char *>(""))
                           : PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    if (!key)
        throw ToolError(path, private_key ? "not an unencrypted PEM private key (" + openssl_reason() + ")"
                                          : "not a PEM public key (" + openssl_reason() + ")");
    return key;
}

void check_key_kind(EVP_PKEY *key, const std::string &path) {
    if (EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA) {
        int bits = EVP_PKEY_get_bits(key);
        if (bits < 2048 || bits > 4096)
            throw ToolError(path, "an RSA key of " + std::to_string(bits) + " bits; PCR policies take 2048 to 4096");
        return;
    }
    char group[64] = {};
    std::size_t length = 0;
    if (EVP_PKEY_get_base_id(key) == EVP_PKEY_EC &&
        EVP_PKEY_get_group_name(key, group, sizeof group, &length) == 1 && std::string(group) == "prime256v1")
        return;
    throw ToolError(path, "neither an RSA nor a P-256 EC key");
}

std::string public_pem_of(EVP_PKEY *key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), key) != 1)
        throw ToolError("public key", "cannot encode: " + openssl_reason());
    char *data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(n));
}

Bytes public_der_of(EVP_PKEY *key) {
    int n = i2d_PUBKEY(key, nullptr);
    Bytes der(static_cast<std::size_t>(n > 0 ? n : 0));
    unsigned char *p = der.data();
    if (n <= 0 || i2d_PUBKEY(key, &p) != n)
        throw ToolError("public key", "cannot encode: " + openssl_reason());
    return der;
}

} // namespace

Bytes policy_pcr11_digest(Bank bank, const Bytes &pcr_value) {
    Bytes buffer(32, 0); // the session's digest starts as zeros
    put_be(buffer, TPM_CC_POLICY_PCR, 4);
    put_be(buffer, 1, 4); // TPML_PCR_SELECTION.count
    put_be(buffer, bank_algorithm(bank), 2);
    put_be(buffer, PCR_SELECT_SIZE, 1);
    for (std::size_t i = 0; i < PCR_SELECT_SIZE; i++)
        buffer.push_back(i == PCR / 8 ? static_cast<std::uint8_t>(1u << (PCR % 8)) : 0);
    Bytes values = digest_of(Bank::sha256, pcr_value.data(), pcr_value.size());
    buffer.insert(buffer.end(), values.begin(), values.end());
    return digest_of(Bank::sha256, buffer.data(), buffer.size());
}

void PcrSigningKey::Free::operator()(evp_pkey_st *key) const {
    EVP_PKEY_free(key);
}

PcrSigningKey::PcrSigningKey(const std::string &private_path, const std::string &public_path) {
    KeyPtr key = read_key(private_path, true);
    check_key_kind(key.get(), private_path);
    if (!public_path.empty() && EVP_PKEY_eq(read_key(public_path, false).get(), key.get()) != 1)
        throw ToolError(public_path, "is not the public key of " + private_path);
    public_pem_ = public_pem_of(key.get());
    Bytes der = public_der_of(key.get());
    fingerprint_ = digest_of(Bank::sha256, der.data(), der.size());
    key_.reset(key.release());
}

PcrSigningKey::~PcrSigningKey() = default;
PcrSigningKey::PcrSigningKey(PcrSigningKey &&) noexcept = default;

std::size_t PcrSigningKey::max_signature_size() const {
    return static_cast<std::size_t>(EVP_PKEY_get_size(key_.get()));
}

Bytes PcrSigningKey::sign(const Bytes &policy) const {
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    Bytes signature(max_signature_size());
    std::size_t size = signature.size();
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key_.get()) != 1 ||
        EVP_DigestSign(ctx.get(), signature.data(), &size, policy.data(), policy.size()) != 1)
        throw ToolError("PCR policy", "cannot sign: " + openssl_reason());
    signature.resize(size);
    return signature;
}

std::string pcrsig_json(std::span<const SignedPolicy> policies, const Bytes &fingerprint, std::size_t size) {
    std::vector<Bank> banks;
    for (const SignedPolicy &p : policies)
        if (std::find(banks.begin(), banks.end(), p.bank) == banks.end())
            banks.push_back(p.bank);
    Json document = Json::Object{};
    for (Bank bank : banks) {
        Json &entries = document.set(std::string(bank_name(bank)), Json::Array{});
        for (const SignedPolicy &p : policies) {
            if (p.bank != bank)
                continue;
            Json &entry = entries.push(Json::Object{});
            entry.set("pcrs", Json::Array{Json(PCR)});
            entry.set("pkfp", hex_string(fingerprint));
            entry.set("pol", hex_string(p.policy));
            entry.set("sig", base64_string(p.signature));
        }
    }
    std::string text = document.dump(false);
    assert(size == 0 || text.size() + 1 <= size);
    if (text.size() + 1 < size)
        text.append(size - text.size() - 1, ' ');
    return text + "\n";
}

} // namespace korvane
