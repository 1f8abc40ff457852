// Ends a QEMU run from inside the guest through QEMU's isa-debug-exit device, which the VM
// runner puts at DEBUG_EXIT_PORT: writing byte v there makes QEMU exit with status 2v+1.
// Value 0 gives status 1, which QEMU also uses for its own failures, so tests use other values.
#pragma once

#include "port-io.h"

namespace korvane::vmtest {

constexpr uint16_t DEBUG_EXIT_PORT = 0xf4;

// Never returns: without the device the write is lost and the guest spins until the runner's time limit.
[[noreturn]] inline void debug_exit(uint8_t value) {
    outb(DEBUG_EXIT_PORT, value);
    for (;;)
        __asm__ volatile("pause");
}

} // namespace korvane::vmtest
