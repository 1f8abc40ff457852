// The fetched initrd taken apart as the kernel unpacks it: a series of parts, each either a
// cpio archive in the "new ASCII" format (magic "070701", or "070702" with checksums) that
// ends with its TRAILER!!! record, or a stretch of other bytes (a microcode blob, a compressed
// initrd, ...). Headers, names and contents are aligned to 4 bytes from the initrd's start.
#pragma once

#include "../report.h"

namespace korvane::vmtest {

//   cpio.parts               the number of parts
//   cpio.part.N.offset       where part N starts in the initrd
//   cpio.part.N.kind         "cpio"; "raw" for bytes that are no archive, which run up to the
//                            next 4-aligned cpio magic or the end; "broken" for an archive
//                            whose next header does not parse, which runs to the end (the
//                            walk stops there; the members before it are reported)
//   cpio.part.N.size         its size; an archive's ends with its trailer, padded to 4
//   cpio.part.N.sha256       SHA-256 of its bytes
//   cpio.part.N.padding      the zero bytes (whole 4-byte words) after an archive, before the
//                            next part, which the kernel skips; absent for other parts
//   cpio.members             the number of members of all archives, trailers not counted
//   cpio.member.M.part       the part member M belongs to (M counts over all archives)
//   cpio.member.M.name       its name, each byte one unit
//   cpio.member.M.ino        c_ino
//   cpio.member.M.mode       c_mode: file type and permission bits
//   cpio.member.M.size       c_filesize
//   cpio.member.M.sha256     SHA-256 of its contents
// Nothing is reported without an initrd (null data).
void report_cpio_members(Report &report, const void *initrd, size_t size);

} // namespace korvane::vmtest
