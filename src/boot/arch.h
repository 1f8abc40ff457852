// The processor instructions the stub executes directly. The firmware build runs them; the host
// tests put a scripted processor in their place.
#pragma once

#include <stdint.h>

namespace korvane {

struct CpuidRegs {
    uint32_t eax, ebx, ecx, edx;
};

CpuidRegs arch_cpuid(uint32_t leaf, uint32_t subleaf);
uint64_t arch_rdmsr(uint32_t msr);

} // namespace korvane
