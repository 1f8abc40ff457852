// A fake confidential-computing environment behind EFI_CC_MEASUREMENT_PROTOCOL, laid out like
// Intel TDX: register 0 (MRTD) is fixed at launch, registers 1 to 4 (RTMR0 to RTMR3) are
// extended with SHA-384, and events go to a crypto-agile log of their own. Installed only
// when a test asks for it; declare it after the Firmware.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "boot/efi/cc-measurement.h"
#include "fakefw/tcg-log.h"

namespace fakefw {

class Firmware;

inline constexpr unsigned CC_REGISTER_COUNT = 5;
inline constexpr HashAlg CC_BANK = HashAlg::Sha384;

// The TDX assignment of PCRs to registers: 0 to MRTD (which cannot be extended), 1 and 7 to
// RTMR0, 2 to 6 to RTMR1, 8 to 15 to RTMR2; every other PCR has none.
std::optional<EFI_CC_MR_INDEX> tdx_mr_index(TCG_PCRINDEX pcr);

struct CcConfig {
    UINT8 type = EFI_CC_TYPE_INTEL_TDX;
    EFI_CC_EVENT_LOG_BITMAP supported_event_logs = EFI_CC_EVENT_LOG_FORMAT_TCG_2;
    std::function<std::optional<EFI_CC_MR_INDEX>(TCG_PCRINDEX)> map = tdx_mr_index;
};

// One HashLogExtendEvent call as the firmware received it, failed ones included.
struct CcCall {
    UINT64 flags;
    EFI_PHYSICAL_ADDRESS data;
    UINT64 data_size;
    Bytes record; // the EFI_CC_EVENT record, Size bytes of it (empty when Size is unusable)
    EFI_STATUS status;
};

class CcMeasurement {
public:
    CcMeasurement(Firmware &fw, CcConfig config = {});
    ~CcMeasurement();
    CcMeasurement(const CcMeasurement &) = delete;
    CcMeasurement &operator=(const CcMeasurement &) = delete;

    // Installs the protocol on a new handle and returns the handle.
    EFI_HANDLE install();
    void uninstall();
    EFI_CC_MEASUREMENT_PROTOCOL *protocol() { return &interface_.protocol; }

    // Register `index` (0 to 4), all zeros at start.
    Bytes mr(unsigned index) const { return registers_.value(CC_BANK, index); }
    std::vector<LoggedEvent> events() const { return log_.events(); }
    const std::vector<CcCall> &calls() const { return calls_; }
    // Every PCR passed to MapPcrToMrIndex, failed calls included.
    const std::vector<TCG_PCRINDEX> &mapped_pcrs() const { return mapped_pcrs_; }
    unsigned get_capability_calls() const { return get_capability_calls_; }

    void fail_get_capability(EFI_STATUS status, unsigned after = 0, unsigned times = ALWAYS) {
        get_capability_fault_.fail(status, after, times);
    }
    void fail_map_pcr_to_mr_index(EFI_STATUS status, unsigned after = 0, unsigned times = ALWAYS) {
        map_fault_.fail(status, after, times);
    }
    void fail_hash_log_extend_event(EFI_STATUS status, unsigned after = 0, unsigned times = ALWAYS) {
        hash_log_extend_fault_.fail(status, after, times);
    }

    // Firmware side, called through the protocol.
    EFI_STATUS get_capability(EFI_CC_BOOT_SERVICE_CAPABILITY *capability);
    EFI_STATUS get_event_log(EFI_CC_EVENT_LOG_FORMAT format, EFI_PHYSICAL_ADDRESS *location,
                             EFI_PHYSICAL_ADDRESS *last_entry, BOOLEAN *truncated);
    EFI_STATUS hash_log_extend_event(UINT64 flags, EFI_PHYSICAL_ADDRESS data, UINT64 data_size,
                                     EFI_CC_EVENT *event);
    EFI_STATUS map_pcr_to_mr_index(TCG_PCRINDEX pcr, EFI_CC_MR_INDEX *mr);

private:
    EFI_STATUS extend_and_log(UINT64 flags, EFI_PHYSICAL_ADDRESS data, UINT64 data_size, const EFI_CC_EVENT *event);

    Firmware &fw_;
    CcConfig config_;
    OwnedInterface<EFI_CC_MEASUREMENT_PROTOCOL, CcMeasurement> interface_ = {};
    EFI_HANDLE handle_ = nullptr;
    Registers registers_;
    EventLog log_;
    std::vector<CcCall> calls_;
    std::vector<TCG_PCRINDEX> mapped_pcrs_;
    unsigned get_capability_calls_ = 0;
    FaultPlan get_capability_fault_;
    FaultPlan map_fault_;
    FaultPlan hash_log_extend_fault_;
};

} // namespace fakefw
