#include "measure.h"

#include "efi/cc-measurement.h"
#include "firmware.h"
#include "log.h"
#include "util.h"

namespace korvane {

namespace {

// Firmware that reports StructureVersion 1.0 fills in the older packed layout instead.
union Tcg2Capability {
    EFI_TCG2_BOOT_SERVICE_CAPABILITY current;
    EFI_TCG2_BOOT_SERVICE_CAPABILITY_1_0 v1_0;
};
static_assert(sizeof(Tcg2Capability) == sizeof(EFI_TCG2_BOOT_SERVICE_CAPABILITY));

bool tpm_present(const Tcg2Capability &cap) {
    if (cap.current.StructureVersion.Major == 1 && cap.current.StructureVersion.Minor == 0)
        return cap.v1_0.TPMPresentFlag || cap.current.TPMPresentFlag;
    return cap.current.TPMPresentFlag;
}

// The CC protocol when the environment keeps a TCG2-format log, else null.
EFI_CC_MEASUREMENT_PROTOCOL *find_cc_measurement_protocol() {
    EFI_CC_MEASUREMENT_PROTOCOL *cc = nullptr;
    if (EFI_ERROR(BS->LocateProtocol(&EFI_CC_MEASUREMENT_PROTOCOL_GUID, nullptr, reinterpret_cast<void **>(&cc))) ||
        !cc)
        return nullptr;
    EFI_CC_BOOT_SERVICE_CAPABILITY cap = {};
    cap.Size = sizeof(cap);
    if (EFI_ERROR(cc->GetCapability(cc, &cap)))
        return nullptr;
    return (cap.SupportedEventLogs & EFI_CC_EVENT_LOG_FORMAT_TCG_2) ? cc : nullptr;
}

size_t utf16_size_with_nul(const char16_t *s) {
    size_t n = str16_len(s);
    ASSERT(INC_SAFE(&n, size_t(1)));
    ASSERT(MUL_ASSIGN_SAFE(&n, sizeof(char16_t)));
    return n;
}

// A zeroed event record (EFI_TCG2_EVENT or EFI_CC_EVENT) with `data_size` bytes of event data
// after the header; the caller sets the register index and the data.
template <typename Record> PoolPtr<Record> new_event(TCG_EVENTTYPE type, size_t data_size) {
    size_t size = offsetof(Record, Event);
    ASSERT(INC_SAFE(&size, data_size));
    ASSERT(size <= UINT32_MAX);
    PoolPtr<Record> event(static_cast<Record *>(xmalloc(size)));
    memset(event.get(), 0, size);
    event->Size = static_cast<UINT32>(size);
    event->Header.HeaderSize = sizeof(event->Header);
    event->Header.HeaderVersion = EFI_TCG2_EVENT_HEADER_VERSION;
    event->Header.EventType = type;
    return event;
}

EFI_STATUS cc_log_ipl_event(EFI_CC_MEASUREMENT_PROTOCOL *cc, UINT32 pcrindex, EFI_PHYSICAL_ADDRESS buffer,
                            UINT64 buffer_size, const char16_t *description) {
    EFI_CC_MR_INDEX mr = 0;
    // Whatever the firmware said, a PCR without a register is one this environment cannot hold.
    if (EFI_ERROR(cc->MapPcrToMrIndex(cc, pcrindex, &mr)))
        return EFI_NOT_FOUND;
    size_t n = utf16_size_with_nul(description);
    PoolPtr<EFI_CC_EVENT> event = new_event<EFI_CC_EVENT>(EV_IPL, n);
    event->Header.MrIndex = mr;
    memcpy(event->Event, description, n);
    return cc->HashLogExtendEvent(cc, 0, buffer, buffer_size, event.get());
}

EFI_STATUS tcg2_log_ipl_event(EFI_TCG2_PROTOCOL *tpm, UINT32 pcrindex, EFI_PHYSICAL_ADDRESS buffer,
                              UINT64 buffer_size, const char16_t *description) {
    size_t n = utf16_size_with_nul(description);
    PoolPtr<EFI_TCG2_EVENT> event = new_event<EFI_TCG2_EVENT>(EV_IPL, n);
    event->Header.PCRIndex = pcrindex;
    memcpy(event->Event, description, n);
    return tpm->HashLogExtendEvent(tpm, 0, buffer, buffer_size, event.get());
}

} // namespace

EFI_TCG2_PROTOCOL *find_tcg2_protocol() {
    EFI_TCG2_PROTOCOL *tpm = nullptr;
    if (EFI_ERROR(BS->LocateProtocol(&EFI_TCG2_PROTOCOL_GUID, nullptr, reinterpret_cast<void **>(&tpm))) || !tpm)
        return nullptr;
    Tcg2Capability cap = {};
    cap.current.Size = sizeof(cap.current);
    if (EFI_ERROR(tpm->GetCapability(tpm, &cap.current)))
        return nullptr;
    return tpm_present(cap) ? tpm : nullptr;
}

EFI_STATUS tpm_log_ipl_event(UINT32 pcrindex, EFI_PHYSICAL_ADDRESS buffer, UINT64 buffer_size,
                             const char16_t *description, bool *measured_out) {
    if (pcrindex == PCR_MEASUREMENT_OFF) {
        if (measured_out)
            *measured_out = false;
        return EFI_SUCCESS;
    }
    ASSERT(description);

    bool measured = false;
    if (EFI_CC_MEASUREMENT_PROTOCOL *cc = find_cc_measurement_protocol()) {
        EFI_STATUS err = cc_log_ipl_event(cc, pcrindex, buffer, buffer_size, description);
        if (EFI_ERROR(err))
            return err;
        measured = true;
    }
    if (EFI_TCG2_PROTOCOL *tpm = find_tcg2_protocol()) {
        EFI_STATUS err = tcg2_log_ipl_event(tpm, pcrindex, buffer, buffer_size, description);
        if (EFI_ERROR(err))
            return err;
        measured = true;
    }
    if (measured_out)
        *measured_out = measured;
    return EFI_SUCCESS;
}

EFI_STATUS tpm_log_ipl_event_str8(UINT32 pcrindex, EFI_PHYSICAL_ADDRESS buffer, UINT64 buffer_size,
                                  const char *description, bool *measured_out) {
    // Converting exactly the text's bytes makes an empty description null, which is refused.
    PoolPtr<char16_t> description16(xstr8_to_utf16(description, description ? str8_len(description) : 0));
    return tpm_log_ipl_event(pcrindex, buffer, buffer_size, description16.get(), measured_out);
}

EFI_STATUS tpm_log_tagged_event(UINT32 pcrindex, EFI_PHYSICAL_ADDRESS buffer, UINT64 buffer_size,
                                UINT32 event_id, const char16_t *description, bool *measured_out) {
    ASSERT(description);
    ASSERT(measured_out);

    EFI_TCG2_PROTOCOL *tpm = find_tcg2_protocol();
    if (!tpm) {
        *measured_out = false;
        return EFI_SUCCESS;
    }

    size_t n = utf16_size_with_nul(description);
    size_t data_size = offsetof(TCG_PCClientTaggedEvent, taggedEventData);
    ASSERT(INC_SAFE(&data_size, n));
    PoolPtr<EFI_TCG2_EVENT> event = new_event<EFI_TCG2_EVENT>(EV_EVENT_TAG, data_size);
    event->Header.PCRIndex = pcrindex;
    auto *tagged = reinterpret_cast<TCG_PCClientTaggedEvent *>(event->Event);
    tagged->taggedEventID = event_id;
    tagged->taggedEventDataSize = static_cast<UINT32>(n);
    memcpy(tagged->taggedEventData, description, n);

    EFI_STATUS err = tpm->HashLogExtendEvent(tpm, 0, buffer, buffer_size, event.get());
    if (EFI_ERROR(err))
        return err;
    *measured_out = true;
    return EFI_SUCCESS;
}

EFI_STATUS tpm_log_load_options(const char16_t *options, bool *measured_out) {
    ASSERT(options);
    EFI_STATUS err = tpm_log_ipl_event(PCR_KERNEL_PARAMETERS, reinterpret_cast<EFI_PHYSICAL_ADDRESS>(options),
                                       utf16_size_with_nul(options), options, measured_out);
    if (EFI_ERROR(err))
        return log_error(err, "Unable to add load options (i.e. kernel command) line measurement to PCR %i: %m",
                         static_cast<int>(PCR_KERNEL_PARAMETERS));
    return EFI_SUCCESS;
}

} // namespace korvane
