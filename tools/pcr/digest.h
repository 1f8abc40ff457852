// The hash algorithms of TPM PCR banks, and running digests over them (OpenSSL).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct evp_md_ctx_st;

namespace korvane {

using Bytes = std::vector<std::uint8_t>;

enum class Bank { sha1, sha256, sha384, sha512 };

inline constexpr Bank ALL_BANKS[] = {Bank::sha1, Bank::sha256, Bank::sha384, Bank::sha512};

std::string_view bank_name(Bank bank);
std::optional<Bank> parse_bank(std::string_view name);
// TPM_ALG_ID (TPM 2.0 Part 2, table 9).
std::uint16_t bank_algorithm(Bank bank);
std::size_t bank_digest_size(Bank bank);

class Digest {
public:
    explicit Digest(Bank bank);
    ~Digest();
    Digest(Digest &&) noexcept;
    Digest &operator=(Digest &&) noexcept;

    void add(const void *data, std::size_t size);
    void add(std::string_view text) { add(text.data(), text.size()); }
    Bytes finish();

private:
    struct Free {
        void operator()(evp_md_ctx_st *ctx) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> ctx_;
};

// One digest per bank over the same bytes.
class BankDigests {
public:
    explicit BankDigests(const std::vector<Bank> &banks);

    void add(const void *data, std::size_t size);
    // zeros more zero bytes, then the digests in the order of the banks.
    std::vector<Bytes> finish(std::uint64_t zeros = 0);

private:
    std::vector<Digest> digests_;
};

Bytes digest_of(Bank bank, const void *data, std::size_t size);
inline Bytes digest_of(Bank bank, std::string_view text) { return digest_of(bank, text.data(), text.size()); }

std::string hex_string(const Bytes &bytes);
std::string base64_string(const Bytes &bytes);

} // namespace korvane
