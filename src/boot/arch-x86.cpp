#include "arch.h"

namespace korvane {

CpuidRegs arch_cpuid(uint32_t leaf, uint32_t subleaf) {
    CpuidRegs r;
    asm volatile("cpuid" : "=a"(r.eax), "=b"(r.ebx), "=c"(r.ecx), "=d"(r.edx) : "a"(leaf), "c"(subleaf));
    return r;
}

uint64_t arch_rdmsr(uint32_t msr) {
    uint32_t lo, hi;
    asm volatile("rdmsr" : "=a"(lo), "=d"(hi) : "c"(msr));
    return uint64_t{hi} << 32 | lo;
}

} // namespace korvane
