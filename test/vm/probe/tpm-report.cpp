#include "tpm-report.h"

#include "boot/efi/tcg2.h"
#include "boot/firmware.h"

namespace korvane::vmtest {

namespace {

// The PCRs the stub extends.
constexpr uint32_t REPORTED_PCRS[] = {11, 12, 13};
// Whatever the firmware claims, a log larger than this is not dumped.
constexpr size_t LOG_SIZE_MAX = 1024 * 1024;

struct Bank {
    EFI_TCG2_EVENT_ALGORITHM_BITMAP bit;
    uint16_t alg_id; // TPM_ALG_ID (TPM 2.0 Part 2, table 9)
    uint16_t digest_size;
    const char *name;
};

constexpr Bank BANKS[] = {
    {EFI_TCG2_BOOT_HASH_ALG_SHA1, 0x0004, 20, "sha1"},
    {EFI_TCG2_BOOT_HASH_ALG_SHA256, 0x000b, 32, "sha256"},
    {EFI_TCG2_BOOT_HASH_ALG_SHA384, 0x000c, 48, "sha384"},
    {EFI_TCG2_BOOT_HASH_ALG_SHA512, 0x000d, 64, "sha512"},
    {EFI_TCG2_BOOT_HASH_ALG_SM3_256, 0x0012, 32, "sm3-256"},
};

// TPM 2.0 Part 2: TPM_ST_NO_SESSIONS, TPM_CC_PCR_Read, TPM_RC_SUCCESS.
constexpr uint16_t TPM_ST_NO_SESSIONS = 0x8001;
constexpr uint32_t TPM_CC_PCR_READ = 0x0000017e;
constexpr uint32_t TPM_RC_SUCCESS = 0;
constexpr uint8_t PCR_SELECT_SIZE = 3; // 24 PCRs

// TPM commands and responses are big-endian.
void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put32(uint8_t *p, uint32_t v) {
    put16(p, static_cast<uint16_t>(v >> 16));
    put16(p + 2, static_cast<uint16_t>(v));
}

uint16_t get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t get32(const uint8_t *p) { return static_cast<uint32_t>(get16(p)) << 16 | get16(p + 2); }

uint32_t le32(const uint8_t *p) {
    return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// TPM2_PCR_Read of one PCR in one bank: header (tag, size, command code), then a
// TPML_PCR_SELECTION of one TPMS_PCR_SELECTION (hash, sizeofSelect, pcrSelect).
constexpr size_t PCR_READ_COMMAND_SIZE = 10 + 4 + 2 + 1 + PCR_SELECT_SIZE;

void build_pcr_read(uint8_t (&cmd)[PCR_READ_COMMAND_SIZE], uint16_t alg_id, uint32_t pcr) {
    put16(cmd, TPM_ST_NO_SESSIONS);
    put32(cmd + 2, PCR_READ_COMMAND_SIZE);
    put32(cmd + 6, TPM_CC_PCR_READ);
    put32(cmd + 10, 1);
    put16(cmd + 14, alg_id);
    cmd[16] = PCR_SELECT_SIZE;
    for (uint8_t i = 0; i < PCR_SELECT_SIZE; i++)
        cmd[17 + i] = (pcr / 8 == i) ? static_cast<uint8_t>(1u << (pcr % 8)) : 0;
}

// The digest in a TPM2_PCR_Read response: header (tag, size, response code), pcrUpdateCounter,
// the TPML_PCR_SELECTION echoed back, then a TPML_DIGEST that must hold exactly one digest of
// the bank's size. Null when the response is anything else.
const uint8_t *pcr_read_digest(const uint8_t *rsp, size_t size, const Bank &bank) {
    if (size < 10 || get32(rsp + 2) > size || get32(rsp + 6) != TPM_RC_SUCCESS)
        return nullptr;
    size = get32(rsp + 2);
    size_t pos = 14;
    if (pos + 4 > size)
        return nullptr;
    uint32_t n_selections = get32(rsp + pos);
    pos += 4;
    for (uint32_t i = 0; i < n_selections; i++) {
        if (pos + 3 > size)
            return nullptr;
        pos += 3 + rsp[pos + 2];
    }
    if (pos + 6 > size || get32(rsp + pos) != 1 || get16(rsp + pos + 4) != bank.digest_size)
        return nullptr;
    pos += 6;
    return pos + bank.digest_size <= size ? rsp + pos : nullptr;
}

void report_pcr(Report &report, EFI_TCG2_PROTOCOL *tpm, const Bank &bank, uint32_t pcr) {
    uint8_t cmd[PCR_READ_COMMAND_SIZE];
    build_pcr_read(cmd, bank.alg_id, pcr);
    uint8_t rsp[256] = {};
    EFI_STATUS err = tpm->SubmitCommand(tpm, sizeof(cmd), cmd, sizeof(rsp), rsp);
    const uint8_t *digest = err == EFI_SUCCESS ? pcr_read_digest(rsp, sizeof(rsp), bank) : nullptr;
    if (digest) {
        report.bytes(Key("tpm.pcr", pcr, bank.name).c_str(), digest, bank.digest_size);
        return;
    }
    report.status(Key("tpm.pcr-status", pcr, bank.name).c_str(), err == EFI_SUCCESS ? EFI_DEVICE_ERROR : err);
}

// The size of one crypto-agile event (TCG_PCR_EVENT2) at p, 0 when an algorithm is unknown or
// the event would run past limit.
size_t event2_size(const uint8_t *p, const uint8_t *limit) {
    size_t avail = static_cast<size_t>(limit - p);
    if (avail < 12)
        return 0;
    uint32_t n_digests = le32(p + 8);
    size_t pos = 12;
    for (uint32_t i = 0; i < n_digests; i++) {
        if (pos + 2 > avail)
            return 0;
        uint16_t alg = le16(p + pos);
        uint16_t digest_size = 0;
        for (const Bank &bank : BANKS)
            if (bank.alg_id == alg)
                digest_size = bank.digest_size;
        if (digest_size == 0)
            return 0;
        pos += 2 + digest_size;
    }
    if (pos + 4 > avail || le32(p + pos) > avail - pos - 4)
        return 0;
    return pos + 4 + le32(p + pos);
}

// The first event of the log is in the SHA-1 form (TCG_PCR_EVENT): index, type, 20-byte
// digest, size, data.
size_t event1_size(const uint8_t *p, const uint8_t *limit) {
    size_t avail = static_cast<size_t>(limit - p);
    if (avail < 32 || le32(p + 28) > avail - 32)
        return 0;
    return 32 + le32(p + 28);
}

void report_event_log(Report &report, EFI_TCG2_PROTOCOL *tpm) {
    EFI_PHYSICAL_ADDRESS first = 0, last = 0;
    BOOLEAN truncated = false;
    EFI_STATUS err = tpm->GetEventLog(tpm, EFI_TCG2_EVENT_LOG_FORMAT_TCG_2, &first, &last, &truncated);
    report.status("tpm.log-status", err);
    if (err != EFI_SUCCESS)
        return;
    report.flag("tpm.log-truncated", truncated);
    if (first == 0 || last < first || last - first >= LOG_SIZE_MAX)
        return;
    auto *start = reinterpret_cast<const uint8_t *>(first);
    auto *last_event = reinterpret_cast<const uint8_t *>(last);
    const uint8_t *limit = start + LOG_SIZE_MAX;
    size_t last_size = last == first ? event1_size(last_event, limit) : event2_size(last_event, limit);
    if (last_size == 0) {
        report.status("tpm.log-last-status", EFI_UNSUPPORTED);
        return;
    }
    report.bytes("tpm.log", start, static_cast<size_t>(last - first) + last_size);
}

} // namespace

void report_tpm(Report &report) {
    EFI_TCG2_PROTOCOL *tpm = nullptr;
    EFI_STATUS err = BS->LocateProtocol(&EFI_TCG2_PROTOCOL_GUID, nullptr, reinterpret_cast<void **>(&tpm));
    report.status("tpm.locate-status", err);
    if (err != EFI_SUCCESS || !tpm)
        return;
    EFI_TCG2_BOOT_SERVICE_CAPABILITY cap = {};
    cap.Size = sizeof(cap);
    err = tpm->GetCapability(tpm, &cap);
    report.status("tpm.capability-status", err);
    if (err != EFI_SUCCESS)
        return;
    report.flag("tpm.present", cap.TPMPresentFlag);
    report.number("tpm.active-banks", cap.ActivePcrBanks);
    for (const Bank &bank : BANKS)
        if (cap.ActivePcrBanks & bank.bit)
            for (uint32_t pcr : REPORTED_PCRS)
                report_pcr(report, tpm, bank, pcr);
    report_event_log(report, tpm);
}

} // namespace korvane::vmtest
