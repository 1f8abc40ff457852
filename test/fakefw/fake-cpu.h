// A scripted processor in place of CPUID and RDMSR. A test creates one FakeCpu and fills it;
// while it lives, every arch_cpuid and arch_rdmsr of the code under test is answered from it.
// Unscripted CPUID leaves read as all zeros; reading an unscripted MSR fails the test, as the
// instruction would fault on a real processor.
#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "boot/arch.h"

namespace fakefw {

class FakeCpu {
public:
    FakeCpu();
    ~FakeCpu();
    FakeCpu(const FakeCpu &) = delete;
    FakeCpu &operator=(const FakeCpu &) = delete;

    void set_cpuid(uint32_t leaf, uint32_t subleaf, korvane::CpuidRegs regs);
    void set_cpuid(uint32_t leaf, korvane::CpuidRegs regs) { set_cpuid(leaf, 0, regs); }
    // Writes a 12-byte vendor-style text into three registers, in the order they are named.
    static void spell(const char (&text)[13], uint32_t *a, uint32_t *b, uint32_t *c);
    void set_msr(uint32_t msr, uint64_t value);

    // Every CPUID leaf asked for, in order.
    const std::vector<uint32_t> &cpuid_leaves() const { return leaves_; }
    bool queried(uint32_t leaf) const;
    const std::vector<uint32_t> &msrs_read() const { return msrs_read_; }

    // Processor side, called by the host arch_cpuid and arch_rdmsr.
    korvane::CpuidRegs cpuid(uint32_t leaf, uint32_t subleaf);
    uint64_t rdmsr(uint32_t msr);

    static FakeCpu *current();

private:
    std::map<std::pair<uint32_t, uint32_t>, korvane::CpuidRegs> cpuid_;
    std::map<uint32_t, uint64_t> msrs_;
    std::vector<uint32_t> leaves_;
    std::vector<uint32_t> msrs_read_;
};

} // namespace fakefw
