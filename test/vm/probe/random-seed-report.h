// The Linux EFI random seed table as a kernel finds it at its start, and whether the firmware
// has an RNG protocol (without one, neither the stub nor the kernel's own EFI entry can make
// a seed from the firmware, so a table then came from elsewhere).
#pragma once

#include "../report.h"

namespace korvane::vmtest {

//   random-seed.rng-protocol   whether LocateProtocol finds EFI_RNG_PROTOCOL
//   random-seed.present        whether the configuration table has an entry for the table
//                              (GUID 1ce1e5bc-7ceb-42f2-81e5-8aadf180f57b) with a non-null pointer
//   random-seed.size           its size field (the number of seed bytes that follow)
//   random-seed.seed           those bytes (at most the first 1024)
//   random-seed.memory-type    the EFI_MEMORY_TYPE of the memory map entry that holds the
//                              table's first byte, absent when the map has none
void report_random_seed(Report &report);

} // namespace korvane::vmtest
