#include "sha256.h"

#include "hash-block.h"

namespace korvane {

namespace {

constexpr uint32_t INITIAL_STATE[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

constexpr uint32_t ROUND_CONSTANTS[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr uint32_t rotr(uint32_t x, unsigned n) { return (x >> n) | (x << (32 - n)); }

// Message schedule word t, computed in place over the word it replaces (t - 16).
uint32_t schedule_word(uint32_t *w, const uint8_t *block, size_t t) {
    if (t < 16)
        return w[t] = hash_block::load_be32(block + 4 * t);
    uint32_t w2 = w[(t - 2) & 15], w15 = w[(t - 15) & 15];
    uint32_t s0 = rotr(w15, 7) ^ rotr(w15, 18) ^ (w15 >> 3);
    uint32_t s1 = rotr(w2, 17) ^ rotr(w2, 19) ^ (w2 >> 10);
    return w[t & 15] += s1 + w[(t - 7) & 15] + s0;
}

void compress(Sha256Context *ctx, const uint8_t *block) {
    uint32_t a = ctx->state[0], b = ctx->state[1], c = ctx->state[2], d = ctx->state[3];
    uint32_t e = ctx->state[4], f = ctx->state[5], g = ctx->state[6], h = ctx->state[7];
    for (size_t t = 0; t < 64; t++) {
        uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + ROUND_CONSTANTS[t] +
                      schedule_word(ctx->schedule, block, t);
        uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    ctx->state[0] += a;
    ctx->state[1] += b;
    ctx->state[2] += c;
    ctx->state[3] += d;
    ctx->state[4] += e;
    ctx->state[5] += f;
    ctx->state[6] += g;
    ctx->state[7] += h;
}

} // namespace

void sha256_init(Sha256Context *ctx) {
    ASSERT(ctx);
    memset(ctx, 0, sizeof(*ctx));
    memcpy(ctx->state, INITIAL_STATE, sizeof(INITIAL_STATE));
}

void sha256_update(Sha256Context *ctx, const void *data, size_t n) {
    hash_block::update<Sha256Context, compress>(ctx, data, n);
}

void sha256_final(Sha256Context *ctx, uint8_t out[SHA256_DIGEST_SIZE]) {
    hash_block::finish<Sha256Context, compress>(ctx, out, 8);
}

void sha256_direct(const void *data, size_t n, uint8_t out[SHA256_DIGEST_SIZE]) {
    Sha256Context ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data, n);
    sha256_final(&ctx, out);
}

} // namespace korvane
