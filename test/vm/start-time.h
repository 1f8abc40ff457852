// The time stamp counter that the launcher reads right before StartImage, published as a
// configuration table, so that an image started further down the chain (a kernel's stand-in)
// can count the processor's time since then. Under QEMU's -icount the counter advances with
// every instruction, which makes the difference a deterministic measure of a boot path.
#pragma once

#include "boot/efi/efi.h"

namespace korvane::vmtest {

constexpr EFI_GUID START_TIME_TABLE_GUID = {0xab2a358c, 0x5ab6, 0x48b1, {0x82, 0xd9, 0x1d, 0xc2, 0x0a, 0xbc, 0x0c, 0x9f}};

struct StartTime {
    uint64_t tsc;
};

inline uint64_t read_tsc() { return __builtin_ia32_rdtsc(); }

} // namespace korvane::vmtest
