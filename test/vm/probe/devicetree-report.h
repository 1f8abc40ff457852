// The devicetree a kernel finds in the configuration table (EFI_DTB_TABLE_GUID), read with a
// walker of the probe's own, so that the blob can be compared with the one the image carried.
#pragma once

#include "../report.h"

namespace korvane::vmtest {

//   dtb.entries       how many configuration table entries carry the devicetree GUID
//   dtb.present       whether the first of them has a non-null pointer
//   dtb.magic         the header's magic (0xd00dfeed = 3490578157 for a devicetree)
//   dtb.totalsize     the header's totalsize
//   dtb.sha256        SHA-256 of the totalsize bytes at the table (absent unless the magic is
//                     right and totalsize lies between the header size and 1 MiB)
//   dtb.compatible    the first string of the root node's "compatible" (absent when the blob
//                     has none the walker can find inside its structure block)
//   dtb.memory-type   the EFI_MEMORY_TYPE of the memory map entry holding the table's first
//                     byte (absent when the map has none)
void report_devicetree(Report &report);

} // namespace korvane::vmtest
