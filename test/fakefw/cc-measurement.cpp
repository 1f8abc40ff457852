#include "fakefw/cc-measurement.h"

#include <gtest/gtest.h>

#include "fakefw/fakefw.h"

namespace fakefw {

namespace {

constexpr EFI_CC_MR_INDEX MRTD = 0;
// A record larger than this is taken for garbage rather than copied.
constexpr UINT32 MAX_RECORD_SIZE = 16 << 20;

using Interface = OwnedInterface<EFI_CC_MEASUREMENT_PROTOCOL, CcMeasurement>;

CcMeasurement *owner(EFI_CC_MEASUREMENT_PROTOCOL *This) { return Interface::of(This, "CC measurement"); }

EFI_STATUS EFIAPI get_capability(EFI_CC_MEASUREMENT_PROTOCOL *This, EFI_CC_BOOT_SERVICE_CAPABILITY *capability) {
    CcMeasurement *cc = owner(This);
    return cc ? cc->get_capability(capability) : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI get_event_log(EFI_CC_MEASUREMENT_PROTOCOL *This, EFI_CC_EVENT_LOG_FORMAT format,
                                EFI_PHYSICAL_ADDRESS *location, EFI_PHYSICAL_ADDRESS *last_entry,
                                BOOLEAN *truncated) {
    CcMeasurement *cc = owner(This);
    return cc ? cc->get_event_log(format, location, last_entry, truncated) : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI hash_log_extend_event(EFI_CC_MEASUREMENT_PROTOCOL *This, UINT64 flags, EFI_PHYSICAL_ADDRESS data,
                                        UINT64 data_size, EFI_CC_EVENT *event) {
    CcMeasurement *cc = owner(This);
    return cc ? cc->hash_log_extend_event(flags, data, data_size, event) : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI map_pcr_to_mr_index(EFI_CC_MEASUREMENT_PROTOCOL *This, TCG_PCRINDEX pcr, EFI_CC_MR_INDEX *mr) {
    CcMeasurement *cc = owner(This);
    return cc ? cc->map_pcr_to_mr_index(pcr, mr) : EFI_INVALID_PARAMETER;
}

uint8_t initial_register_byte(unsigned) { return 0; }

Bytes record_bytes(const EFI_CC_EVENT *event) {
    if (!event || event->Size < sizeof(EFI_CC_EVENT) || event->Size > MAX_RECORD_SIZE)
        return {};
    const auto *p = reinterpret_cast<const uint8_t *>(event);
    return Bytes(p, p + event->Size);
}

} // namespace

std::optional<EFI_CC_MR_INDEX> tdx_mr_index(TCG_PCRINDEX pcr) {
    if (pcr == 0)
        return MRTD;
    if (pcr == 1 || pcr == 7)
        return 1;
    if (pcr >= 2 && pcr <= 6)
        return 2;
    if (pcr >= 8 && pcr <= 15)
        return 3;
    return std::nullopt;
}

CcMeasurement::CcMeasurement(Firmware &fw, CcConfig config)
    : fw_(fw), config_(std::move(config)), registers_({CC_BANK}, CC_REGISTER_COUNT, initial_register_byte),
      log_({CC_BANK}) {
    interface_.protocol = EFI_CC_MEASUREMENT_PROTOCOL{
        .GetCapability = fakefw::get_capability,
        .GetEventLog = fakefw::get_event_log,
        .HashLogExtendEvent = fakefw::hash_log_extend_event,
        .MapPcrToMrIndex = fakefw::map_pcr_to_mr_index,
    };
    interface_.owner = this;
}

CcMeasurement::~CcMeasurement() {
    if (handle_)
        uninstall();
}

EFI_HANDLE CcMeasurement::install() {
    if (handle_) {
        ADD_FAILURE() << "fakefw: the CC measurement protocol is already installed";
        return handle_;
    }
    handle_ = fw_.handles().install(nullptr, EFI_CC_MEASUREMENT_PROTOCOL_GUID, protocol());
    return handle_;
}

void CcMeasurement::uninstall() {
    if (!handle_) {
        ADD_FAILURE() << "fakefw: the CC measurement protocol is not installed";
        return;
    }
    fw_.handles().uninstall(handle_, EFI_CC_MEASUREMENT_PROTOCOL_GUID);
    handle_ = nullptr;
}

EFI_STATUS CcMeasurement::get_capability(EFI_CC_BOOT_SERVICE_CAPABILITY *capability) {
    get_capability_calls_++;
    if (auto injected = get_capability_fault_.enter())
        return *injected;
    if (!capability)
        return EFI_INVALID_PARAMETER;
    if (capability->Size < sizeof(EFI_CC_BOOT_SERVICE_CAPABILITY)) {
        capability->Size = sizeof(EFI_CC_BOOT_SERVICE_CAPABILITY);
        return EFI_BUFFER_TOO_SMALL;
    }
    *capability = EFI_CC_BOOT_SERVICE_CAPABILITY{
        .Size = sizeof(EFI_CC_BOOT_SERVICE_CAPABILITY),
        .StructureVersion = {1, 0},
        .ProtocolVersion = {1, 0},
        .HashAlgorithmBitmap = tcg2_bank_bit(CC_BANK),
        .SupportedEventLogs = config_.supported_event_logs,
        .CcType = {config_.type, 0},
    };
    return EFI_SUCCESS;
}

EFI_STATUS CcMeasurement::get_event_log(EFI_CC_EVENT_LOG_FORMAT format, EFI_PHYSICAL_ADDRESS *location,
                                        EFI_PHYSICAL_ADDRESS *last_entry, BOOLEAN *truncated) {
    if (format != EFI_CC_EVENT_LOG_FORMAT_TCG_2 || !location || !last_entry || !truncated)
        return EFI_INVALID_PARAMETER;
    *location = reinterpret_cast<EFI_PHYSICAL_ADDRESS>(log_.bytes().data());
    *last_entry = *location + log_.last_entry_offset();
    *truncated = false;
    return EFI_SUCCESS;
}

EFI_STATUS CcMeasurement::map_pcr_to_mr_index(TCG_PCRINDEX pcr, EFI_CC_MR_INDEX *mr) {
    mapped_pcrs_.push_back(pcr);
    if (auto injected = map_fault_.enter())
        return *injected;
    if (!mr)
        return EFI_INVALID_PARAMETER;
    std::optional<EFI_CC_MR_INDEX> index = config_.map(pcr);
    if (!index)
        return EFI_INVALID_PARAMETER;
    *mr = *index;
    return EFI_SUCCESS;
}

EFI_STATUS CcMeasurement::hash_log_extend_event(UINT64 flags, EFI_PHYSICAL_ADDRESS data, UINT64 data_size,
                                                EFI_CC_EVENT *event) {
    CcCall call = {flags, data, data_size, record_bytes(event), EFI_SUCCESS};
    if (auto injected = hash_log_extend_fault_.enter())
        call.status = *injected;
    else
        call.status = extend_and_log(flags, data, data_size, event);
    calls_.push_back(std::move(call));
    return calls_.back().status;
}

EFI_STATUS CcMeasurement::extend_and_log(UINT64 flags, EFI_PHYSICAL_ADDRESS data, UINT64 data_size,
                                         const EFI_CC_EVENT *event) {
    if (!event || (data == 0 && data_size != 0))
        return EFI_INVALID_PARAMETER;
    if (event->Size < sizeof(EFI_CC_EVENT) || event->Header.HeaderSize != sizeof(EFI_CC_EVENT_HEADER) ||
        event->Header.HeaderVersion != EFI_CC_EVENT_HEADER_VERSION || event->Header.MrIndex == MRTD ||
        event->Header.MrIndex >= CC_REGISTER_COUNT)
        return EFI_INVALID_PARAMETER;
    if (flags & ~EFI_TCG2_EXTEND_ONLY) {
        ADD_FAILURE() << "fakefw: CC HashLogExtendEvent flags " << flags << " are not modelled";
        return EFI_UNSUPPORTED;
    }

    Bytes digest = hash(CC_BANK, reinterpret_cast<const uint8_t *>(data), data_size);
    registers_.extend(CC_BANK, event->Header.MrIndex, digest);
    if (!(flags & EFI_TCG2_EXTEND_ONLY))
        log_.append(event->Header.MrIndex, event->Header.EventType, {{CC_BANK, digest}}, event->Event,
                    event->Size - sizeof(EFI_CC_EVENT));
    return EFI_SUCCESS;
}

} // namespace fakefw
