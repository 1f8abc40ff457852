// What the TPM holds when the kernel starts: the active PCR banks, the values of the PCRs the
// stub extends, read straight from the TPM with TPM2_PCR_Read, and the firmware's event log in
// crypto-agile form, so that a test can replay the log and compare it with the PCRs.
#pragma once

#include "../report.h"

namespace korvane::vmtest {

//   tpm.locate-status           LocateProtocol's status for the TCG2 protocol
//   tpm.capability-status       GetCapability's status
//   tpm.present                 TPMPresentFlag
//   tpm.active-banks            ActivePcrBanks (EFI_TCG2_BOOT_HASH_ALG_* bits)
//   tpm.pcr.N.BANK              PCR N (11, 12, 13) of each active bank (sha1, sha256, sha384,
//                               sha512, sm3-256) as hex
//   tpm.pcr-status.N.BANK       instead of the value, when reading it failed
//   tpm.log-status              GetEventLog's status for the TCG 2 format
//   tpm.log-truncated           whether the firmware dropped events
//   tpm.log                     the whole log as hex, from its first byte to the end of its
//                               last event (absent when the status is an error or it is empty)
//   tpm.log-last-status         EFI_UNSUPPORTED instead of tpm.log when the last event's size
//                               could not be worked out
void report_tpm(Report &report);

} // namespace korvane::vmtest
