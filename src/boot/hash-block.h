// The block framing that SHA-1 and SHA-256 share (FIPS 180-4, section 5): the message in
// 64-byte blocks, the partial block buffered in the context, and the padding of 0x80, zeros
// and the message length in bits as a big-endian 64-bit number. A context has `buffer` and
// `total`; `compress` hashes one block into the context's state.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "util.h"

namespace korvane::hash_block {

constexpr size_t BLOCK_SIZE = 64;

inline uint32_t load_be32(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

inline void store_be32(uint8_t *p, uint32_t v) {
    for (size_t i = 0; i < 4; i++)
        p[i] = uint8_t(v >> (24 - 8 * i));
}

template <typename Context, void (*compress)(Context *, const uint8_t *)>
void update(Context *ctx, const void *data, size_t n) {
    static_assert(sizeof(ctx->buffer) == BLOCK_SIZE);
    ASSERT(ctx);
    ASSERT(data || n == 0);
    auto *p = static_cast<const uint8_t *>(data);
    size_t used = ctx->total % BLOCK_SIZE;
    ctx->total += n;

    if (used > 0) {
        size_t take = n < BLOCK_SIZE - used ? n : BLOCK_SIZE - used;
        memcpy(ctx->buffer + used, p, take);
        if (used + take < BLOCK_SIZE)
            return;
        compress(ctx, ctx->buffer);
        p += take;
        n -= take;
    }
    // Whole blocks are hashed where they lie; only the tail is buffered.
    for (; n >= BLOCK_SIZE; p += BLOCK_SIZE, n -= BLOCK_SIZE)
        compress(ctx, p);
    memcpy(ctx->buffer, p, n);
}

// Hashes the padding, writes the first `words` state words as the digest and wipes the context.
template <typename Context, void (*compress)(Context *, const uint8_t *)>
void finish(Context *ctx, uint8_t *out, size_t words) {
    ASSERT(ctx);
    ASSERT(out);
    // The padded message ends in its length in bits, modulo 2^64.
    uint64_t bits = ctx->total << 3;
    size_t used = ctx->total % BLOCK_SIZE;
    ctx->buffer[used++] = 0x80;
    if (used > BLOCK_SIZE - 8) {
        memset(ctx->buffer + used, 0, BLOCK_SIZE - used);
        compress(ctx, ctx->buffer);
        used = 0;
    }
    memset(ctx->buffer + used, 0, BLOCK_SIZE - 8 - used);
    store_be32(ctx->buffer + BLOCK_SIZE - 8, uint32_t(bits >> 32));
    store_be32(ctx->buffer + BLOCK_SIZE - 4, uint32_t(bits));
    compress(ctx, ctx->buffer);

    for (size_t i = 0; i < words; i++)
        store_be32(out + 4 * i, ctx->state[i]);
    memset(ctx, 0, sizeof(*ctx));
}

} // namespace korvane::hash_block
