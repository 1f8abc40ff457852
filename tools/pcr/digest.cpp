#include "digest.h"

#include "tool-error.h"

#include <openssl/evp.h>

#include <algorithm>

namespace korvane {

namespace {

struct BankInfo {
    Bank bank;
    std::string_view name;
    std::uint16_t algorithm;
    const EVP_MD *(*md)();
};

constexpr BankInfo BANKS[] = {
    {Bank::sha1, "sha1", 0x0004, EVP_sha1},
    {Bank::sha256, "sha256", 0x000B, EVP_sha256},
    {Bank::sha384, "sha384", 0x000C, EVP_sha384},
    {Bank::sha512, "sha512", 0x000D, EVP_sha512},
};

const BankInfo &info(Bank bank) {
    return BANKS[static_cast<std::size_t>(bank)];
}

} // namespace

std::string_view bank_name(Bank bank) {
    return info(bank).name;
}

std::optional<Bank> parse_bank(std::string_view name) {
    for (const BankInfo &b : BANKS)
        if (b.name == name)
            return b.bank;
    return std::nullopt;
}

std::uint16_t bank_algorithm(Bank bank) {
    return info(bank).algorithm;
}

std::size_t bank_digest_size(Bank bank) {
    return static_cast<std::size_t>(EVP_MD_get_size(info(bank).md()));
}

void Digest::Free::operator()(evp_md_ctx_st *ctx) const {
    EVP_MD_CTX_free(ctx);
}

Digest::Digest(Bank bank) : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), info(bank).md(), nullptr) != 1)
        throw ToolError(std::string(bank_name(bank)), "cannot start a digest");
}

Digest::~Digest() = default;
Digest::Digest(Digest &&) noexcept = default;
Digest &Digest::operator=(Digest &&) noexcept = default;

void Digest::add(const void *data, std::size_t size) {
    EVP_DigestUpdate(ctx_.get(), data, size);
}

Bytes Digest::finish() {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    EVP_DigestFinal_ex(ctx_.get(), out.data(), &size);
    out.resize(size);
    return out;
}

BankDigests::BankDigests(const std::vector<Bank> &banks) {
    for (Bank bank : banks)
        digests_.emplace_back(bank);
}

void BankDigests::add(const void *data, std::size_t size) {
    for (Digest &d : digests_)
        d.add(data, size);
}

std::vector<Bytes> BankDigests::finish(std::uint64_t zeros) {
    static const std::uint8_t block[4096] = {};
    for (std::uint64_t left = zeros; left > 0;) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof block));
        add(block, n);
        left -= n;
    }
    std::vector<Bytes> out;
    for (Digest &d : digests_)
        out.push_back(d.finish());
    return out;
}

Bytes digest_of(Bank bank, const void *data, std::size_t size) {
    Digest d(bank);
    d.add(data, size);
    return d.finish();
}

std::string hex_string(const Bytes &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0xF];
    }
    return out;
}

std::string base64_string(const Bytes &bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), bytes.data(), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

} // namespace korvane
