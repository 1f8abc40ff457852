// SHA-256 (FIPS 180-4), fed incrementally. The random seed runs secrets through it, so
// `sha256_final` leaves the whole context zeroed, message schedule included.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace korvane {

constexpr size_t SHA256_DIGEST_SIZE = 32;
constexpr size_t SHA256_BLOCK_SIZE = 64;

struct Sha256Context {
    uint32_t state[8];
    uint32_t schedule[16]; // rolling message schedule; kept here so that the final wipe reaches it
    uint8_t buffer[SHA256_BLOCK_SIZE]; // the partial block, total % SHA256_BLOCK_SIZE bytes of it
    uint64_t total;                    // bytes fed so far
};

void sha256_init(Sha256Context *ctx);
// Any length, any split of the message across calls; data may be null only when n is 0.
void sha256_update(Sha256Context *ctx, const void *data, size_t n);
// Writes the digest and wipes the context; it must be initialised again before reuse.
void sha256_final(Sha256Context *ctx, uint8_t out[SHA256_DIGEST_SIZE]);

void sha256_direct(const void *data, size_t n, uint8_t out[SHA256_DIGEST_SIZE]);

} // namespace korvane
