#include "sha1.h"

#include "hash-block.h"

namespace korvane {

namespace {

constexpr uint32_t INITIAL_STATE[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};

constexpr uint32_t rotl(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

// Message schedule word t, computed in place over the word it replaces (t - 16).
uint32_t schedule_word(uint32_t *w, const uint8_t *block, size_t t) {
    if (t < 16)
        return w[t] = hash_block::load_be32(block + 4 * t);
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
    hash_block::update<Sha1Context, compress>(ctx, data, n);
}

void sha1_final(Sha1Context *ctx, uint8_t out[SHA1_DIGEST_SIZE]) {
    hash_block::finish<Sha1Context, compress>(ctx, out, 5);
}

void sha1_direct(const void *data, size_t n, uint8_t out[SHA1_DIGEST_SIZE]) {
    Sha1Context ctx;
    sha1_init(&ctx);
    sha1_update(&ctx, data, n);
    sha1_final(&ctx, out);
}

} // namespace korvane
