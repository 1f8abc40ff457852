// x86 port I/O for the test applications: the VM's debug-exit device and its first serial port.
#pragma once

#include <stdint.h>

namespace korvane::vmtest {

inline void outb(uint16_t port, uint8_t value) {
    __asm__ volatile("outb %0, %1" : : "a"(value), "Nd"(port));
}

inline uint8_t inb(uint16_t port) {
    uint8_t value;
    __asm__ volatile("inb %1, %0" : "=a"(value) : "Nd"(port));
    return value;
}

} // namespace korvane::vmtest
