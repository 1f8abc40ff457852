// SHA-1 (FIPS 180-4), fed incrementally. Only for identifiers that are defined by it (such as
// name-based UUIDs), never for security. `sha1_final` leaves the whole context zeroed.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace korvane {

constexpr size_t SHA1_DIGEST_SIZE = 20;
constexpr size_t SHA1_BLOCK_SIZE = 64;

struct Sha1Context {
    uint32_t state[5];
    uint32_t schedule[16];           // rolling message schedule; kept here so that the final wipe reaches it
    uint8_t buffer[SHA1_BLOCK_SIZE]; // the partial block, total % SHA1_BLOCK_SIZE bytes of it
    uint64_t total;                  // bytes fed so far
};

void sha1_init(Sha1Context *ctx);
// Any length, any split of the message across calls; data may be null only when n is 0.
void sha1_update(Sha1Context *ctx, const void *data, size_t n);
// Writes the digest and wipes the context; it must be initialised again before reuse.
void sha1_final(Sha1Context *ctx, uint8_t out[SHA1_DIGEST_SIZE]);

void sha1_direct(const void *data, size_t n, uint8_t out[SHA1_DIGEST_SIZE]);

} // namespace korvane
