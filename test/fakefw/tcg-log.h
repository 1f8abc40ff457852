// What the fake TCG2 and CC measurement protocols share: hash banks (hashed with OpenSSL),
// measurement registers extended as H(old || H(data)), and a crypto-agile event log in the
// format of the TCG PC Client Platform Firmware Profile (a Spec ID header event, then one
// TCG_PCR_EVENT2 record per event), which tests read back decoded.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "boot/efi/efi.h"
#include "fakefw/faults.h"
#include "fakefw/service.h"

namespace fakefw {

using Bytes = std::vector<uint8_t>;

// Hash banks by their TPM algorithm ids (TCG Algorithm Registry).
enum class HashAlg : uint16_t {
    Sha1 = 0x0004,
    Sha256 = 0x000b,
    Sha384 = 0x000c,
};

size_t digest_size(HashAlg alg);
Bytes hash(HashAlg alg, const void *data, size_t size);

// The TCG2 capability bit of a bank, and the banks of a bitmap (in id order).
uint32_t tcg2_bank_bit(HashAlg alg);
std::vector<HashAlg> tcg2_banks(uint32_t bitmap);

// Event types of the log that the stub does not produce itself.
inline constexpr uint32_t EV_NO_ACTION = 0x3;

struct LoggedDigest {
    HashAlg alg;
    Bytes digest;
};

// One event of the log, decoded from the log bytes.
struct LoggedEvent {
    uint32_t index; // PCR, or CC measurement register
    uint32_t type;
    std::vector<LoggedDigest> digests; // in log order
    Bytes data;
    uint64_t sequence; // order of all events of every fake measurement protocol

    // The digest of `alg`; fails the test (and gives empty) when the event has none.
    Bytes digest(HashAlg alg) const;
};

class EventLog {
public:
    // Starts the log with a "Spec ID Event03" header naming `banks`.
    explicit EventLog(std::vector<HashAlg> banks);

    void append(uint32_t index, uint32_t type, const std::vector<LoggedDigest> &digests, const uint8_t *data,
                size_t size);

    // The raw log; addresses into it stay valid until the next append.
    const Bytes &bytes() const { return bytes_; }
    size_t last_entry_offset() const { return last_entry_; }
    // The events after the header, decoded from bytes(); a malformed log fails the test.
    std::vector<LoggedEvent> events() const;

private:
    std::vector<HashAlg> banks_;
    Bytes bytes_;
    size_t last_entry_ = 0;
    std::vector<uint64_t> sequences_;
};

// Decodes a crypto-agile log (header event first); a malformed log fails the test and gives
// the events decoded up to the fault. Sequence numbers are left 0.
std::vector<LoggedEvent> decode_event_log(const uint8_t *log, size_t size);

// Registers of several banks, each extended as H(old || digest).
class Registers {
public:
    // `initial(index)` is the starting byte of every register (all bytes alike).
    Registers(const std::vector<HashAlg> &banks, unsigned count, uint8_t (*initial)(unsigned index));

    unsigned count() const { return count_; }
    // The current value; fails the test (and gives empty) for a bank or index that does not exist.
    Bytes value(HashAlg bank, unsigned index) const;
    void extend(HashAlg bank, unsigned index, const Bytes &digest);

private:
    unsigned count_;
    std::map<HashAlg, std::vector<Bytes>> values_;
};

// Fails the test: a protocol member was called with a null This.
void report_null_this(const char *protocol);

// The interface a fake protocol hands out, with the way back to the object behind it.
template <typename Protocol, typename Owner> struct OwnedInterface {
    Protocol protocol;
    Owner *owner;

    // The fake behind `This`; null (and a failed test) for a null `This`.
    static Owner *of(Protocol *This, const char *protocol_name) {
        if (!This) {
            report_null_this(protocol_name);
            return nullptr;
        }
        return reinterpret_cast<OwnedInterface *>(This)->owner;
    }
};

} // namespace fakefw
