#include "fakefw/tcg2.h"

#include <cstring>
#include <gtest/gtest.h>

#include "fakefw/fakefw.h"

namespace fakefw {

namespace {

constexpr UINT16 MAX_COMMAND_SIZE = 4096;
// A record larger than this is taken for garbage rather than copied.
constexpr UINT32 MAX_RECORD_SIZE = 16 << 20;

using Interface = OwnedInterface<EFI_TCG2_PROTOCOL, Tcg2>;

Tcg2 *owner(EFI_TCG2_PROTOCOL *This) { return Interface::of(This, "TCG2"); }

EFI_STATUS EFIAPI get_capability(EFI_TCG2_PROTOCOL *This, EFI_TCG2_BOOT_SERVICE_CAPABILITY *capability) {
    Tcg2 *tpm = owner(This);
    return tpm ? tpm->get_capability(capability) : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI get_event_log(EFI_TCG2_PROTOCOL *This, EFI_TCG2_EVENT_LOG_FORMAT format,
                                EFI_PHYSICAL_ADDRESS *location, EFI_PHYSICAL_ADDRESS *last_entry,
                                BOOLEAN *truncated) {
    Tcg2 *tpm = owner(This);
    return tpm ? tpm->get_event_log(format, location, last_entry, truncated) : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI hash_log_extend_event(EFI_TCG2_PROTOCOL *This, UINT64 flags, EFI_PHYSICAL_ADDRESS data,
                                        UINT64 data_size, EFI_TCG2_EVENT *event) {
    Tcg2 *tpm = owner(This);
    return tpm ? tpm->hash_log_extend_event(flags, data, data_size, event) : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI get_active_pcr_banks(EFI_TCG2_PROTOCOL *This, UINT32 *banks) {
    Tcg2 *tpm = owner(This);
    return tpm ? tpm->get_active_pcr_banks(banks) : EFI_INVALID_PARAMETER;
}

EFI_STATUS unimplemented(const char *member) {
    ADD_FAILURE() << "fakefw: TCG2 " << member << " is not implemented";
    return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI submit_command(EFI_TCG2_PROTOCOL *, UINT32, UINT8 *, UINT32, UINT8 *) {
    return unimplemented("SubmitCommand");
}
EFI_STATUS EFIAPI set_active_pcr_banks(EFI_TCG2_PROTOCOL *, UINT32) { return unimplemented("SetActivePcrBanks"); }
EFI_STATUS EFIAPI get_result_of_set_active_pcr_banks(EFI_TCG2_PROTOCOL *, UINT32 *, UINT32 *) {
    return unimplemented("GetResultOfSetActivePcrBanks");
}

// The locality-reset PCRs start as all ones.
uint8_t initial_pcr_byte(unsigned index) { return index >= 17 && index <= 22 ? 0xff : 0x00; }

Bytes record_bytes(const EFI_TCG2_EVENT *event) {
    if (!event || event->Size < sizeof(EFI_TCG2_EVENT) || event->Size > MAX_RECORD_SIZE)
        return {};
    const auto *p = reinterpret_cast<const uint8_t *>(event);
    return Bytes(p, p + event->Size);
}

} // namespace

Tcg2::Tcg2(Firmware &fw, Tcg2Config config)
    : fw_(fw), config_(config), pcrs_(tcg2_banks(config.active_banks), TPM_PCR_COUNT, initial_pcr_byte),
      log_(tcg2_banks(config.active_banks)) {
    EXPECT_EQ(config.active_banks & ~config.supported_banks, 0u) << "fakefw: active TCG2 banks that are not supported";
    interface_.protocol = EFI_TCG2_PROTOCOL{
        .GetCapability = fakefw::get_capability,
        .GetEventLog = fakefw::get_event_log,
        .HashLogExtendEvent = fakefw::hash_log_extend_event,
        .SubmitCommand = submit_command,
        .GetActivePcrBanks = fakefw::get_active_pcr_banks,
        .SetActivePcrBanks = set_active_pcr_banks,
        .GetResultOfSetActivePcrBanks = get_result_of_set_active_pcr_banks,
    };
    interface_.owner = this;
}

Tcg2::~Tcg2() {
    if (handle_)
        uninstall();
}

EFI_HANDLE Tcg2::install() {
    if (handle_) {
        ADD_FAILURE() << "fakefw: the TCG2 protocol is already installed";
        return handle_;
    }
    handle_ = fw_.handles().install(nullptr, EFI_TCG2_PROTOCOL_GUID, protocol());
    return handle_;
}

void Tcg2::uninstall() {
    if (!handle_) {
        ADD_FAILURE() << "fakefw: the TCG2 protocol is not installed";
        return;
    }
    fw_.handles().uninstall(handle_, EFI_TCG2_PROTOCOL_GUID);
    handle_ = nullptr;
}

EFI_STATUS Tcg2::get_capability(EFI_TCG2_BOOT_SERVICE_CAPABILITY *capability) {
    get_capability_calls_++;
    if (auto injected = get_capability_fault_.enter())
        return *injected;
    if (!capability)
        return EFI_INVALID_PARAMETER;

    bool v1_0 = config_.structure_version.Major == 1 && config_.structure_version.Minor == 0;
    UINT8 size = v1_0 ? sizeof(EFI_TCG2_BOOT_SERVICE_CAPABILITY_1_0) : sizeof(EFI_TCG2_BOOT_SERVICE_CAPABILITY);
    if (capability->Size < size) {
        capability->Size = size;
        return EFI_BUFFER_TOO_SMALL;
    }
    if (v1_0) {
        EFI_TCG2_BOOT_SERVICE_CAPABILITY_1_0 c = {
            .Size = size,
            .StructureVersion = config_.structure_version,
            .ProtocolVersion = config_.protocol_version,
            .HashAlgorithmBitmap = config_.supported_banks,
            .SupportedEventLogs = EFI_TCG2_EVENT_LOG_FORMAT_TCG_2,
            .TPMPresentFlag = config_.present,
            .MaxCommandSize = MAX_COMMAND_SIZE,
            .MaxResponseSize = MAX_COMMAND_SIZE,
            .ManufacturerID = config_.manufacturer_id,
        };
        memcpy(capability, &c, sizeof(c));
        return EFI_SUCCESS;
    }
    *capability = EFI_TCG2_BOOT_SERVICE_CAPABILITY{
        .Size = size,
        .StructureVersion = config_.structure_version,
        .ProtocolVersion = config_.protocol_version,
        .HashAlgorithmBitmap = config_.supported_banks,
        .SupportedEventLogs = EFI_TCG2_EVENT_LOG_FORMAT_TCG_2,
        .TPMPresentFlag = config_.present,
        .MaxCommandSize = MAX_COMMAND_SIZE,
        .MaxResponseSize = MAX_COMMAND_SIZE,
        .ManufacturerID = config_.manufacturer_id,
        .NumberOfPCRBanks = static_cast<UINT32>(tcg2_banks(config_.supported_banks).size()),
        .ActivePcrBanks = config_.active_banks,
    };
    return EFI_SUCCESS;
}

EFI_STATUS Tcg2::get_event_log(EFI_TCG2_EVENT_LOG_FORMAT format, EFI_PHYSICAL_ADDRESS *location,
                               EFI_PHYSICAL_ADDRESS *last_entry, BOOLEAN *truncated) {
    if (format != EFI_TCG2_EVENT_LOG_FORMAT_TCG_2 || !location || !last_entry || !truncated)
        return EFI_INVALID_PARAMETER;
    *location = reinterpret_cast<EFI_PHYSICAL_ADDRESS>(log_.bytes().data());
    *last_entry = *location + log_.last_entry_offset();
    *truncated = false;
    return EFI_SUCCESS;
}

EFI_STATUS Tcg2::hash_log_extend_event(UINT64 flags, EFI_PHYSICAL_ADDRESS data, UINT64 data_size,
                                       EFI_TCG2_EVENT *event) {
    Tcg2Call call = {flags, data, data_size, record_bytes(event), EFI_SUCCESS};
    if (auto injected = hash_log_extend_fault_.enter())
        call.status = *injected;
    else
        call.status = extend_and_log(flags, data, data_size, event);
    calls_.push_back(std::move(call));
    return calls_.back().status;
}

EFI_STATUS Tcg2::extend_and_log(UINT64 flags, EFI_PHYSICAL_ADDRESS data, UINT64 data_size,
                                const EFI_TCG2_EVENT *event) {
    if (!event || (data == 0 && data_size != 0))
        return EFI_INVALID_PARAMETER;
    if (event->Size < sizeof(EFI_TCG2_EVENT) || event->Header.HeaderSize != sizeof(EFI_TCG2_EVENT_HEADER) ||
        event->Header.HeaderVersion != EFI_TCG2_EVENT_HEADER_VERSION || event->Header.PCRIndex >= TPM_PCR_COUNT)
        return EFI_INVALID_PARAMETER;
    if (flags & ~EFI_TCG2_EXTEND_ONLY) {
        ADD_FAILURE() << "fakefw: HashLogExtendEvent flags " << flags << " are not modelled";
        return EFI_UNSUPPORTED;
    }
    if (!config_.present)
        return EFI_DEVICE_ERROR;

    const auto *bytes = reinterpret_cast<const uint8_t *>(data);
    std::vector<LoggedDigest> digests;
    for (HashAlg bank : tcg2_banks(config_.active_banks)) {
        Bytes digest = hash(bank, bytes, data_size);
        pcrs_.extend(bank, event->Header.PCRIndex, digest);
        digests.push_back({bank, std::move(digest)});
    }
    if (!(flags & EFI_TCG2_EXTEND_ONLY))
        log_.append(event->Header.PCRIndex, event->Header.EventType, digests, event->Event,
                    event->Size - sizeof(EFI_TCG2_EVENT));
    return EFI_SUCCESS;
}

EFI_STATUS Tcg2::get_active_pcr_banks(UINT32 *banks) {
    if (!banks)
        return EFI_INVALID_PARAMETER;
    *banks = config_.active_banks;
    return EFI_SUCCESS;
}

} // namespace fakefw
