// SHA-256 and SHA-1 against the FIPS 180-4 example digests and against OpenSSL, over every
// length around the padding boundaries and many messages cut into updates at random.
#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "boot/sha1.h"
#include "boot/sha256.h"

namespace {

struct Sha256 {
    using Context = korvane::Sha256Context;
    static constexpr size_t DIGEST_SIZE = korvane::SHA256_DIGEST_SIZE;
    static void init(Context *ctx) { korvane::sha256_init(ctx); }
    static void update(Context *ctx, const void *data, size_t n) { korvane::sha256_update(ctx, data, n); }
    static void final(Context *ctx, uint8_t *out) { korvane::sha256_final(ctx, out); }
    static void direct(const void *data, size_t n, uint8_t *out) { korvane::sha256_direct(data, n, out); }
    static const EVP_MD *reference() { return EVP_sha256(); }
    // FIPS 180-4 examples: empty, "abc", the 448-bit and 896-bit messages, one million 'a'.
    static constexpr const char *EXAMPLES[5] = {
        "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
        "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
        "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
        "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1",
        "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
    };
};

struct Sha1 {
    using Context = korvane::Sha1Context;
    static constexpr size_t DIGEST_SIZE = korvane::SHA1_DIGEST_SIZE;
    static void init(Context *ctx) { korvane::sha1_init(ctx); }
    static void update(Context *ctx, const void *data, size_t n) { korvane::sha1_update(ctx, data, n); }
    static void final(Context *ctx, uint8_t *out) { korvane::sha1_final(ctx, out); }
    static void direct(const void *data, size_t n, uint8_t *out) { korvane::sha1_direct(data, n, out); }
    static const EVP_MD *reference() { return EVP_sha1(); }
    static constexpr const char *EXAMPLES[5] = {
        "da39a3ee5e6b4b0d3255bfef95601890afd80709",
        "a9993e364706816aba3e25717850c26c9cd0d89d",
        "84983e441c3bd26ebaae4aa1f95129e5e54670f1",
        "a49b2446a02c645bf419f995b67091253a04a259",
        "34aa973cd4c4daa4f61eeb2bdbad27316534016f",
    };
};

std::string hex(const uint8_t *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::vector<uint8_t> random_bytes(std::mt19937_64 &rng, size_t n) {
    std::vector<uint8_t> v(n);
    for (auto &b : v)
        b = uint8_t(rng());
    return v;
}

// Chunk sizes summing to n: empty updates, tiny ones, ones around a block, and big leaps.
std::vector<size_t> random_chunks(std::mt19937_64 &rng, size_t n) {
    std::vector<size_t> chunks;
    while (n > 0) {
        size_t c;
        switch (rng() % 5) {
        case 0: c = 0; break;
        case 1: c = rng() % 8; break;
        case 2: c = 56 + rng() % 16; break;
        case 3: c = rng() % 200; break;
        default: c = rng() % (n + 1); break;
        }
        c = std::min(c, n);
        chunks.push_back(c);
        n -= c;
    }
    return chunks;
}

template <typename T> class ShaTest : public ::testing::Test {
protected:
    static std::string reference(const void *data, size_t n) {
        uint8_t out[EVP_MAX_MD_SIZE];
        unsigned len = 0;
        EXPECT_EQ(EVP_Digest(data, n, out, &len, T::reference(), nullptr), 1);
        EXPECT_EQ(len, T::DIGEST_SIZE);
        return hex(out, len);
    }

    static std::string direct(const void *data, size_t n) {
        uint8_t out[T::DIGEST_SIZE];
        T::direct(data, n, out);
        return hex(out, sizeof(out));
    }

    // Feeds data in the given chunks; an empty chunk is passed as a null pointer.
    static std::string chunked(const uint8_t *data, const std::vector<size_t> &chunks) {
        typename T::Context ctx;
        T::init(&ctx);
        for (size_t c : chunks) {
            T::update(&ctx, c == 0 ? nullptr : data, c);
            data += c;
        }
        uint8_t out[T::DIGEST_SIZE];
        T::final(&ctx, out);
        return hex(out, sizeof(out));
    }
};

struct AlgorithmNames {
    template <typename T> static std::string GetName(int) { return std::is_same_v<T, Sha256> ? "Sha256" : "Sha1"; }
};
using Algorithms = ::testing::Types<Sha256, Sha1>;
TYPED_TEST_SUITE(ShaTest, Algorithms, AlgorithmNames);

TYPED_TEST(ShaTest, FipsExamples) {
    const std::string messages[4] = {
        "",
        "abc",
        "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
        "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
    };
    for (size_t i = 0; i < 4; i++) {
        SCOPED_TRACE(messages[i]);
        EXPECT_EQ(this->direct(messages[i].data(), messages[i].size()), TypeParam::EXAMPLES[i]);
        std::vector<size_t> bytewise(messages[i].size(), 1);
        EXPECT_EQ(this->chunked(reinterpret_cast<const uint8_t *>(messages[i].data()), bytewise),
                  TypeParam::EXAMPLES[i]);
    }

    const std::vector<uint8_t> million(1000000, 'a');
    EXPECT_EQ(this->direct(million.data(), million.size()), TypeParam::EXAMPLES[4]);
    EXPECT_EQ(this->chunked(million.data(), std::vector<size_t>(1000, 1000)), TypeParam::EXAMPLES[4]);
    EXPECT_EQ(this->direct(nullptr, 0), TypeParam::EXAMPLES[0]);
}

// Every length up to four blocks, so each padding case (55, 56, 63, 64, 65 bytes into a block)
// comes up several times, both in one update and byte by byte.
TYPED_TEST(ShaTest, LengthsAroundBlockBoundaries) {
    std::mt19937_64 rng(1);
    const std::vector<uint8_t> data = random_bytes(rng, 4 * 64 + 1);
    for (size_t n = 0; n <= data.size(); n++) {
        SCOPED_TRACE(n);
        const std::string expected = this->reference(data.data(), n);
        EXPECT_EQ(this->direct(data.data(), n), expected);
        EXPECT_EQ(this->chunked(data.data(), std::vector<size_t>(n, 1)), expected);
    }
}

// One cut at every position: the first update leaves every possible amount buffered.
TYPED_TEST(ShaTest, EveryTwoWaySplit) {
    std::mt19937_64 rng(2);
    const std::vector<uint8_t> data = random_bytes(rng, 300);
    const std::string expected = this->reference(data.data(), data.size());
    for (size_t k = 0; k <= data.size(); k++) {
        SCOPED_TRACE(k);
        EXPECT_EQ(this->chunked(data.data(), {k, data.size() - k}), expected);
    }
}

TYPED_TEST(ShaTest, RandomMessagesRandomSplits) {
    std::mt19937_64 rng(3);
    for (int i = 0; i < 4000; i++) {
        const std::vector<uint8_t> data = random_bytes(rng, rng() % 5001);
        SCOPED_TRACE(testing::Message() << "message " << i << ", " << data.size() << " bytes");
        EXPECT_EQ(this->chunked(data.data(), random_chunks(rng, data.size())),
                  this->reference(data.data(), data.size()));
    }
}

TYPED_TEST(ShaTest, LargeMessagesRandomSplits) {
    std::mt19937_64 rng(4);
    for (size_t n : {size_t(1) << 20, (size_t(3) << 20) + 13, (size_t(5) << 20) + 63}) {
        SCOPED_TRACE(n);
        const std::vector<uint8_t> data = random_bytes(rng, n);
        const std::string expected = this->reference(data.data(), n);
        EXPECT_EQ(this->direct(data.data(), n), expected);
        EXPECT_EQ(this->chunked(data.data(), random_chunks(rng, n)), expected);
    }
}

// Past 2^32 bits (512 MiB) the length field needs its upper word.
TYPED_TEST(ShaTest, BitCountBeyond32Bits) {
    std::mt19937_64 rng(5);
    const std::vector<uint8_t> piece = random_bytes(rng, (1 << 20) + 7);
    const size_t rounds = ((size_t(1) << 29) / piece.size()) + 2;

    typename TypeParam::Context ctx;
    TypeParam::init(&ctx);
    EVP_MD_CTX *ref = EVP_MD_CTX_new();
    ASSERT_NE(ref, nullptr);
    ASSERT_EQ(EVP_DigestInit_ex(ref, TypeParam::reference(), nullptr), 1);
    for (size_t i = 0; i < rounds; i++) {
        TypeParam::update(&ctx, piece.data(), piece.size());
        ASSERT_EQ(EVP_DigestUpdate(ref, piece.data(), piece.size()), 1);
    }
    ASSERT_GT(uint64_t(rounds) * piece.size() * 8, uint64_t(1) << 32);

    uint8_t out[TypeParam::DIGEST_SIZE], expected[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    TypeParam::final(&ctx, out);
    ASSERT_EQ(EVP_DigestFinal_ex(ref, expected, &len), 1);
    EVP_MD_CTX_free(ref);
    EXPECT_EQ(hex(out, sizeof(out)), hex(expected, len));
}

// The context holds what was hashed (partial block, schedule, state); final must leave none of it.
TYPED_TEST(ShaTest, FinalWipesContextAndInitRestarts) {
    std::mt19937_64 rng(6);
    const std::vector<uint8_t> secret = random_bytes(rng, 100);
    typename TypeParam::Context ctx;
    TypeParam::init(&ctx);
    TypeParam::update(&ctx, secret.data(), secret.size());
    uint8_t out[TypeParam::DIGEST_SIZE];
    TypeParam::final(&ctx, out);
    EXPECT_EQ(hex(out, sizeof(out)), this->reference(secret.data(), secret.size()));

    const auto *bytes = reinterpret_cast<const uint8_t *>(&ctx);
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(ctx), [](uint8_t b) { return b == 0; }))
        << hex(bytes, sizeof(ctx));

    // A context reused after a wipe starts from scratch.
    TypeParam::init(&ctx);
    TypeParam::update(&ctx, "abc", 3);
    TypeParam::final(&ctx, out);
    EXPECT_EQ(hex(out, sizeof(out)), TypeParam::EXAMPLES[1]);
}

} // namespace
