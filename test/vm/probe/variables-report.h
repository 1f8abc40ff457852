// The boot loader interface variables as the booted system finds them, and the firmware facts
// the "Loader" ones are made from, so that a test can work out their values on its own.
#pragma once

#include "../report.h"

namespace korvane::vmtest {

//   variable.N.name                        the variable's name (vendor 4a67b082-0a4c-41cf-b6c7-
//                                          440b29bb8c4f), N counting StubInfo, StubFeatures,
//                                          StubProfile, StubDevicePartUUID, StubImageIdentifier,
//                                          LoaderDevicePartUUID, LoaderImageIdentifier,
//                                          LoaderFirmwareInfo, LoaderFirmwareType,
//                                          StubPcrKernelImage, StubPcrKernelParameters,
//                                          StubPcrInitRDSysExts, StubPcrInitRDConfExts from 0
//   variable.N.status                      GetVariable's status (EFI_NOT_FOUND when absent)
//   variable.N.attributes                  its attributes, when it was read
//   variable.N.hex                         its bytes, when it was read
//   firmware.vendor                        the system table's FirmwareVendor
//   firmware.revision                      the system table's FirmwareRevision
//   firmware.system-table-revision         the system table header's Revision
//   firmware.runtime-services-revision     the runtime services table header's Revision
void report_variables(Report &report);

} // namespace korvane::vmtest
