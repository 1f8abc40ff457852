// A fake TPM behind EFI_TCG2_PROTOCOL: 24 PCRs in each active bank, really hashed, and a
// crypto-agile event log. Installed only when a test asks for it; declare it after the Firmware.
#pragma once

#include <vector>

#include "boot/efi/tcg2.h"
#include "fakefw/tcg-log.h"

namespace fakefw {

class Firmware;

inline constexpr unsigned TPM_PCR_COUNT = 24;

struct Tcg2Config {
    // EFI_TCG2_BOOT_HASH_ALG_* bits: the banks extended and logged. Must lie within `supported`.
    uint32_t active_banks = EFI_TCG2_BOOT_HASH_ALG_SHA256;
    uint32_t supported_banks =
        EFI_TCG2_BOOT_HASH_ALG_SHA1 | EFI_TCG2_BOOT_HASH_ALG_SHA256 | EFI_TCG2_BOOT_HASH_ALG_SHA384;
    // TPMPresentFlag. A TPM that is switched off answers GetCapability but extends nothing.
    bool present = true;
    // {1, 0} makes GetCapability fill in the packed 1.0 record instead of the current one.
    EFI_TCG2_VERSION structure_version = {1, 1};
    EFI_TCG2_VERSION protocol_version = {1, 1};
    uint32_t manufacturer_id = 0;
};

// One HashLogExtendEvent call as the firmware received it, failed ones included.
struct Tcg2Call {
    UINT64 flags;
    EFI_PHYSICAL_ADDRESS data;
    UINT64 data_size;
    Bytes record; // the EFI_TCG2_EVENT record, Size bytes of it (empty when Size is unusable)
    EFI_STATUS status;
};

class Tcg2 {
public:
    Tcg2(Firmware &fw, Tcg2Config config = {});
    ~Tcg2();
    Tcg2(const Tcg2 &) = delete;
    Tcg2 &operator=(const Tcg2 &) = delete;

    // Installs the protocol on a new handle and returns the handle.
    EFI_HANDLE install();
    void uninstall();
    EFI_TCG2_PROTOCOL *protocol() { return &interface_.protocol; }

    // PCR `index` of `bank`; PCRs 17 to 22 start as all ones, the others as zeros.
    Bytes pcr(HashAlg bank, unsigned index) const { return pcrs_.value(bank, index); }
    // The logged events after the log's header, decoded from the log bytes.
    std::vector<LoggedEvent> events() const { return log_.events(); }
    const std::vector<Tcg2Call> &calls() const { return calls_; }
    unsigned get_capability_calls() const { return get_capability_calls_; }

    void fail_get_capability(EFI_STATUS status, unsigned after = 0, unsigned times = ALWAYS) {
        get_capability_fault_.fail(status, after, times);
    }
    void fail_hash_log_extend_event(EFI_STATUS status, unsigned after = 0, unsigned times = ALWAYS) {
        hash_log_extend_fault_.fail(status, after, times);
    }

    // Firmware side, called through the protocol.
    EFI_STATUS get_capability(EFI_TCG2_BOOT_SERVICE_CAPABILITY *capability);
    EFI_STATUS get_event_log(EFI_TCG2_EVENT_LOG_FORMAT format, EFI_PHYSICAL_ADDRESS *location,
                             EFI_PHYSICAL_ADDRESS *last_entry, BOOLEAN *truncated);
    EFI_STATUS hash_log_extend_event(UINT64 flags, EFI_PHYSICAL_ADDRESS data, UINT64 data_size,
                                     EFI_TCG2_EVENT *event);
    EFI_STATUS get_active_pcr_banks(UINT32 *banks);

private:
    EFI_STATUS extend_and_log(UINT64 flags, EFI_PHYSICAL_ADDRESS data, UINT64 data_size, const EFI_TCG2_EVENT *event);

    Firmware &fw_;
    Tcg2Config config_;
    OwnedInterface<EFI_TCG2_PROTOCOL, Tcg2> interface_ = {};
    EFI_HANDLE handle_ = nullptr;
    Registers pcrs_;
    EventLog log_;
    std::vector<Tcg2Call> calls_;
    unsigned get_capability_calls_ = 0;
    FaultPlan get_capability_fault_;
    FaultPlan hash_log_extend_fault_;
};

} // namespace fakefw
