#include "fakefw/tcg-log.h"

#include <openssl/evp.h>

#include <cstring>
#include <gtest/gtest.h>

#include "boot/efi/tcg2.h"

namespace fakefw {

namespace {

constexpr char SPEC_ID_SIGNATURE[16] = "Spec ID Event03";
constexpr size_t SHA1_HEADER_DIGEST_SIZE = 20;

uint64_t next_sequence() {
    static uint64_t sequence;
    return ++sequence;
}

const EVP_MD *evp(HashAlg alg) {
    switch (alg) {
    case HashAlg::Sha1:
        return EVP_sha1();
    case HashAlg::Sha256:
        return EVP_sha256();
    case HashAlg::Sha384:
        return EVP_sha384();
    }
    ADD_FAILURE() << "fakefw: unknown hash algorithm " << static_cast<unsigned>(alg);
    return EVP_sha256();
}

void put16(Bytes &out, uint16_t v) {
    out.push_back(v & 0xff);
    out.push_back(v >> 8);
}

void put32(Bytes &out, uint32_t v) {
    for (int i = 0; i < 4; i++)
        out.push_back((v >> (8 * i)) & 0xff);
}

void put(Bytes &out, const uint8_t *p, size_t n) { out.insert(out.end(), p, p + n); }

// Bounded little-endian reads over the log; a short read marks the reader failed.
class Reader {
public:
    Reader(const uint8_t *p, size_t n) : p_(p), n_(n) {}
    bool ok() const { return ok_; }
    bool done() const { return pos_ == n_; }
    size_t pos() const { return pos_; }

    const uint8_t *take(size_t n) {
        if (!ok_ || n > n_ - pos_) {
            ok_ = false;
            return nullptr;
        }
        const uint8_t *p = p_ + pos_;
        pos_ += n;
        return p;
    }
    uint32_t u32() {
        const uint8_t *p = take(4);
        return p ? p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24 : 0;
    }
    uint16_t u16() {
        const uint8_t *p = take(2);
        return p ? static_cast<uint16_t>(p[0] | p[1] << 8) : 0;
    }
    uint8_t u8() {
        const uint8_t *p = take(1);
        return p ? *p : 0;
    }

private:
    const uint8_t *p_;
    size_t n_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// Reads a "Spec ID Event03" header; gives the digest size of every algorithm it names.
std::optional<std::map<uint16_t, uint16_t>> read_header(Reader &r) {
    uint32_t pcr = r.u32();
    uint32_t type = r.u32();
    const uint8_t *digest = r.take(SHA1_HEADER_DIGEST_SIZE);
    uint32_t size = r.u32();
    const uint8_t *event = r.take(size);
    if (!r.ok() || pcr != 0 || type != EV_NO_ACTION || Bytes(digest, digest + 20) != Bytes(20, 0))
        return std::nullopt;
    Reader e(event, size);
    const uint8_t *signature = e.take(sizeof(SPEC_ID_SIGNATURE));
    e.take(4 + 4); // platform class, version, errata, uintn size
    uint32_t n_algorithms = e.u32();
    std::map<uint16_t, uint16_t> sizes;
    for (uint32_t i = 0; i < n_algorithms && e.ok(); i++) {
        uint16_t alg = e.u16();
        sizes[alg] = e.u16();
    }
    uint8_t vendor_size = e.u8();
    e.take(vendor_size);
    if (!e.ok() || !e.done() || memcmp(signature, SPEC_ID_SIGNATURE, sizeof(SPEC_ID_SIGNATURE)) != 0)
        return std::nullopt;
    return sizes;
}

} // namespace

size_t digest_size(HashAlg alg) { return EVP_MD_get_size(evp(alg)); }

Bytes hash(HashAlg alg, const void *data, size_t size) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned n = 0;
    EXPECT_EQ(EVP_Digest(data, size, out.data(), &n, evp(alg), nullptr), 1);
    out.resize(n);
    return out;
}

uint32_t tcg2_bank_bit(HashAlg alg) {
    switch (alg) {
    case HashAlg::Sha1:
        return EFI_TCG2_BOOT_HASH_ALG_SHA1;
    case HashAlg::Sha256:
        return EFI_TCG2_BOOT_HASH_ALG_SHA256;
    case HashAlg::Sha384:
        return EFI_TCG2_BOOT_HASH_ALG_SHA384;
    }
    return 0;
}

std::vector<HashAlg> tcg2_banks(uint32_t bitmap) {
    std::vector<HashAlg> banks;
    for (HashAlg alg : {HashAlg::Sha1, HashAlg::Sha256, HashAlg::Sha384})
        if (bitmap & tcg2_bank_bit(alg))
            banks.push_back(alg);
    return banks;
}

Bytes LoggedEvent::digest(HashAlg alg) const {
    for (const LoggedDigest &d : digests)
        if (d.alg == alg)
            return d.digest;
    ADD_FAILURE() << "fakefw: the event has no digest of algorithm " << static_cast<unsigned>(alg);
    return {};
}

EventLog::EventLog(std::vector<HashAlg> banks) : banks_(std::move(banks)) {
    Bytes spec_id;
    put(spec_id, reinterpret_cast<const uint8_t *>(SPEC_ID_SIGNATURE), sizeof(SPEC_ID_SIGNATURE));
    put32(spec_id, 0);          // platform class: client
    spec_id.push_back(0);       // spec version minor
    spec_id.push_back(2);       // spec version major
    spec_id.push_back(0);       // errata
    spec_id.push_back(2);       // UINTN is 64 bits
    put32(spec_id, banks_.size());
    for (HashAlg alg : banks_) {
        put16(spec_id, static_cast<uint16_t>(alg));
        put16(spec_id, digest_size(alg));
    }
    spec_id.push_back(0); // no vendor info

    put32(bytes_, 0);
    put32(bytes_, EV_NO_ACTION);
    bytes_.insert(bytes_.end(), SHA1_HEADER_DIGEST_SIZE, 0);
    put32(bytes_, spec_id.size());
    put(bytes_, spec_id.data(), spec_id.size());
}

void EventLog::append(uint32_t index, uint32_t type, const std::vector<LoggedDigest> &digests,
                      const uint8_t *data, size_t size) {
    last_entry_ = bytes_.size();
    put32(bytes_, index);
    put32(bytes_, type);
    put32(bytes_, digests.size());
    for (const LoggedDigest &d : digests) {
        put16(bytes_, static_cast<uint16_t>(d.alg));
        put(bytes_, d.digest.data(), d.digest.size());
    }
    put32(bytes_, size);
    put(bytes_, data, size);
    sequences_.push_back(next_sequence());
}

std::vector<LoggedEvent> EventLog::events() const {
    std::vector<LoggedEvent> events = decode_event_log(bytes_.data(), bytes_.size());
    EXPECT_EQ(events.size(), sequences_.size()) << "fakefw: the event log does not decode";
    for (size_t i = 0; i < events.size() && i < sequences_.size(); i++)
        events[i].sequence = sequences_[i];
    return events;
}

std::vector<LoggedEvent> decode_event_log(const uint8_t *log, size_t size) {
    Reader r(log, size);
    std::optional<std::map<uint16_t, uint16_t>> sizes = read_header(r);
    if (!sizes) {
        ADD_FAILURE() << "fakefw: the event log has no Spec ID header event";
        return {};
    }
    std::vector<LoggedEvent> events;
    while (!r.done()) {
        LoggedEvent event = {};
        size_t start = r.pos();
        event.index = r.u32();
        event.type = r.u32();
        uint32_t count = r.u32();
        for (uint32_t i = 0; i < count && r.ok(); i++) {
            uint16_t alg = r.u16();
            auto known = sizes->find(alg);
            if (known == sizes->end()) {
                ADD_FAILURE() << "fakefw: event at offset " << start << " has a digest of unnamed algorithm " << alg;
                return events;
            }
            const uint8_t *digest = r.take(known->second);
            if (digest)
                event.digests.push_back({static_cast<HashAlg>(alg), Bytes(digest, digest + known->second)});
        }
        uint32_t data_size = r.u32();
        const uint8_t *data = r.take(data_size);
        if (!r.ok()) {
            ADD_FAILURE() << "fakefw: event at offset " << start << " runs past the end of the log";
            return events;
        }
        event.data.assign(data, data + data_size);
        events.push_back(std::move(event));
    }
    return events;
}

Registers::Registers(const std::vector<HashAlg> &banks, unsigned count, uint8_t (*initial)(unsigned index))
    : count_(count) {
    for (HashAlg bank : banks) {
        std::vector<Bytes> &values = values_[bank];
        for (unsigned i = 0; i < count; i++)
            values.emplace_back(digest_size(bank), initial(i));
    }
}

Bytes Registers::value(HashAlg bank, unsigned index) const {
    auto it = values_.find(bank);
    if (it == values_.end() || index >= count_) {
        ADD_FAILURE() << "fakefw: no register " << index << " in bank " << static_cast<unsigned>(bank);
        return {};
    }
    return it->second[index];
}

void Registers::extend(HashAlg bank, unsigned index, const Bytes &digest) {
    auto it = values_.find(bank);
    if (it == values_.end() || index >= count_) {
        ADD_FAILURE() << "fakefw: extending register " << index << " of missing bank " << static_cast<unsigned>(bank);
        return;
    }
    Bytes joined = it->second[index];
    joined.insert(joined.end(), digest.begin(), digest.end());
    it->second[index] = hash(bank, joined.data(), joined.size());
}

void report_null_this(const char *protocol) { ADD_FAILURE() << "fakefw: " << protocol << " member called with a null This"; }

} // namespace fakefw
