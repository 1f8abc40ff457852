#include "sha1.h"

#include "util.h"

namespace korvane {

namespace {

constexpr uint32_t INITIAL_STATE[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};

constexpr uint32_t rotl(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

uint32_t load_be32(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

void store_be32(uint8_t *p, uint32_t v) {
    for (size_t i = 0; i < 4; i++)
        p[i] = uint8_t(v >> (24 - 8 * i));
}

void store_be64(uint8_t *p, uint64_t v) {
    store_be32(p, uint32_t(v >> 32));
    store_be32(p + 4, uint32_t(v));
}

// Message schedule word t, computed in place over the word it replaces (t - 16).
uint32_t schedule_word(uint32_t *w, const uint8_t *block, size_t t) {
    if (t < 16)
        return w[t] = load_be32(block + 4 * t);
    return w[t & 15] = rotl(w[(t - 3) & 15] ^ w[(t - 8) & 15] ^ w[(t - 14) & 15] ^ w[t & 15], 1);
}

// The round function and constant of round t, folded into one value.
uint32_t round_mix(size_t t, uint32_t b, uint32_t c, uint32_t d) {
    if (t < 20)
        return ((b & c) ^ (~b & d)) + 0x5a827999;
    if (t < 40)
        return (b ^ c ^ d) + 0x6ed9eba1;
    if (t < 60)
        return ((b & c) ^ (b & d) ^ (c & d)) + 0x8f1bbcdc;
    return (b ^ c ^ d) + 0xca62c1d6;
}

void compress(Sha1Context *ctx, const uint8_t *block) {
    uint32_t a = ctx->state[0], b = ctx->state[1], c = ctx->state[2], d = ctx->state[3], e = ctx->state[4];
    for (size_t t = 0; t < 80; t++) {
        uint32_t temp = rotl(a, 5) + round_mix(t, b, c, d) + e + schedule_word(ctx->schedule, block, t);
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = temp;
    }
    ctx->state[0] += a;
    ctx->state[1] += b;
    ctx->state[2] += c;
    ctx->state[3] += d;
    ctx->state[4] += e;
}

} // namespace

void sha1_init(Sha1Context *ctx) {
    ASSERT(ctx);
    memset(ctx, 0, sizeof(*ctx));
    memcpy(ctx->state, INITIAL_STATE, sizeof(INITIAL_STATE));
}

void sha1_update(Sha1Context *ctx, const void *data, size_t n) {
    ASSERT(ctx);
    ASSERT(data || n == 0);
    auto *p = static_cast<const uint8_t *>(data);
    size_t used = ctx->total % SHA1_BLOCK_SIZE;
    ctx->total += n;

    if (used > 0) {
        size_t take = n < SHA1_BLOCK_SIZE - used ? n : SHA1_BLOCK_SIZE - used;
        memcpy(ctx->buffer + used, p, take);
        if (used + take < SHA1_BLOCK_SIZE)
            return;
        compress(ctx, ctx->buffer);
        p += take;
        n -= take;
    }
    // Whole blocks are hashed where they lie; only the tail is buffered.
    for (; n >= SHA1_BLOCK_SIZE; p += SHA1_BLOCK_SIZE, n -= SHA1_BLOCK_SIZE)
        compress(ctx, p);
    memcpy(ctx->buffer, p, n);
}

void sha1_final(Sha1Context *ctx, uint8_t out[SHA1_DIGEST_SIZE]) {
    ASSERT(ctx);
    ASSERT(out);
    // The padded message ends in its length in bits, modulo 2^64.
    uint64_t bits = ctx->total << 3;
    size_t used = ctx->total % SHA1_BLOCK_SIZE;
    ctx->buffer[used++] = 0x80;
    if (used > SHA1_BLOCK_SIZE - 8) {
        memset(ctx->buffer + used, 0, SHA1_BLOCK_SIZE - used);
        compress(ctx, ctx->buffer);
        used = 0;
    }
    memset(ctx->buffer + used, 0, SHA1_BLOCK_SIZE - 8 - used);
    store_be64(ctx->buffer + SHA1_BLOCK_SIZE - 8, bits);
    compress(ctx, ctx->buffer);

    for (size_t i = 0; i < 5; i++)
        store_be32(out + 4 * i, ctx->state[i]);
    memset(ctx, 0, sizeof(*ctx));
}

void sha1_direct(const void *data, size_t n, uint8_t out[SHA1_DIGEST_SIZE]) {
    Sha1Context ctx;
    sha1_init(&ctx);
    sha1_update(&ctx, data, n);
    sha1_final(&ctx, out);
}

} // namespace korvane
