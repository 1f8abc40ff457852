// Measurement of what the stub hands to the kernel: each call extends a TPM PCR through the TCG2
// protocol and/or a confidential-computing register through the CC measurement protocol, and
// logs an event describing the data. Nothing here is cached between calls.
//
// Every call reports through `measured_out` whether anything was extended: false when
// measurement is switched off for the call or no usable protocol exists. On failure the flag is
// left as the caller set it, so callers set it to false first. No failure here stops the boot.
#pragma once

#include "efi/efi.h"
#include "efi/tcg2.h"

namespace korvane {

// The PCRs the stub measures into.
constexpr UINT32 PCR_KERNEL_IMAGE = 11;      // the image's payload sections, name then contents
constexpr UINT32 PCR_KERNEL_PARAMETERS = 12; // command line, profile, add-ons, credentials, confexts
constexpr UINT32 PCR_INITRD_SYSEXTS = 13;    // the system extension initrd
// Passed instead of a PCR: the call measures nothing and reports not measured.
constexpr UINT32 PCR_MEASUREMENT_OFF = UINT32_MAX;

// Ids of the tagged events logged into PCR 12.
constexpr UINT32 TAG_PROFILE_NUMBER = 0x13AED6DB;
constexpr UINT32 TAG_DEVICETREE_ADDON = 0x6C46F751;
constexpr UINT32 TAG_UCODE_ADDON = 0xDAC08E1A;
constexpr UINT32 TAG_INITRD_ADDON = 0x49DFFE0F;

// A flag over a group of measurements: -1 nothing measured yet, 0 at least one measurement was
// not recorded, 1 every measurement so far was recorded. Folds one result into it.
constexpr void merge_measured(int *flag, bool measured) {
    *flag = *flag < 0 ? measured : (*flag != 0 && measured);
}

// The TCG2 protocol when it reports a TPM present, else null.
EFI_TCG2_PROTOCOL *find_tcg2_protocol();

// Extends `pcrindex` and the CC register it maps to (the CC register first) with the hash of the
// buffer, logging an EV_IPL event whose data is `description` with its NUL. `description` may be
// null only with PCR_MEASUREMENT_OFF; `measured_out` may be null. A PCR the CC environment cannot
// map gives EFI_NOT_FOUND, and then the TPM is not extended either.
EFI_STATUS tpm_log_ipl_event(UINT32 pcrindex, EFI_PHYSICAL_ADDRESS buffer, UINT64 buffer_size,
                             const char16_t *description, bool *measured_out);

// The same with a UTF-8 description, which must not be empty.
EFI_STATUS tpm_log_ipl_event_str8(UINT32 pcrindex, EFI_PHYSICAL_ADDRESS buffer, UINT64 buffer_size,
                                  const char *description, bool *measured_out);

// Extends the TPM PCR only, logging an EV_EVENT_TAG event with `event_id` and `description`.
EFI_STATUS tpm_log_tagged_event(UINT32 pcrindex, EFI_PHYSICAL_ADDRESS buffer, UINT64 buffer_size,
                                UINT32 event_id, const char16_t *description, bool *measured_out);

// Measures the kernel command line, its UTF-16 units and NUL, into PCR 12 with itself as the
// description. Logs its failure.
EFI_STATUS tpm_log_load_options(const char16_t *options, bool *measured_out);

} // namespace korvane
