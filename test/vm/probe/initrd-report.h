// The initrd as a kernel's EFI entry fetches it: LocateDevicePath for LoadFile2 on the Linux
// initrd media device path, then LoadFile2 twice, first for the size, then for the bytes.
#pragma once

#include "../report.h"
#include "boot/util.h"

namespace korvane::vmtest {

// The fetched copy; empty (no pages) when there is no provider or fetching failed.
struct FetchedInitrd {
    Pages pages;
    size_t size = 0;
};

//   initrd.locate-status   LocateDevicePath's status
//   initrd.provider        whether a LoadFile2 handle matched the whole initrd device path
//   initrd.size-status     the first LoadFile call's status (EFI_BUFFER_TOO_SMALL expected)
//   initrd.size            the size it gave back
//   initrd.load-status     the second call's status
//   initrd.loaded-size     the size the second call gave back
//   initrd.sha256          SHA-256 of the loaded bytes
FetchedInitrd fetch_and_report_initrd(Report &report);

} // namespace korvane::vmtest
