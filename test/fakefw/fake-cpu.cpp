#include "fakefw/fake-cpu.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace fakefw {

namespace {

FakeCpu *installed;

FakeCpu &require_cpu() {
    if (!installed) {
        // Without a script there is no sensible answer; a test that forgot one must not pass.
        ADD_FAILURE() << "CPUID or RDMSR executed without a fakefw::FakeCpu";
        std::abort();
    }
    return *installed;
}

} // namespace

FakeCpu::FakeCpu() {
    if (installed)
        ADD_FAILURE() << "two fakefw::FakeCpu at once";
    installed = this;
}

FakeCpu::~FakeCpu() { installed = nullptr; }

FakeCpu *FakeCpu::current() { return installed; }

void FakeCpu::set_cpuid(uint32_t leaf, uint32_t subleaf, korvane::CpuidRegs regs) {
    cpuid_[{leaf, subleaf}] = regs;
}

void FakeCpu::spell(const char (&text)[13], uint32_t *a, uint32_t *b, uint32_t *c) {
    std::memcpy(a, text, 4);
    std::memcpy(b, text + 4, 4);
    std::memcpy(c, text + 8, 4);
}

void FakeCpu::set_msr(uint32_t msr, uint64_t value) { msrs_[msr] = value; }

bool FakeCpu::queried(uint32_t leaf) const { return std::find(leaves_.begin(), leaves_.end(), leaf) != leaves_.end(); }

korvane::CpuidRegs FakeCpu::cpuid(uint32_t leaf, uint32_t subleaf) {
    leaves_.push_back(leaf);
    auto it = cpuid_.find({leaf, subleaf});
    return it == cpuid_.end() ? korvane::CpuidRegs{} : it->second;
}

uint64_t FakeCpu::rdmsr(uint32_t msr) {
    msrs_read_.push_back(msr);
    auto it = msrs_.find(msr);
    if (it == msrs_.end()) {
        ADD_FAILURE() << "RDMSR of unscripted MSR 0x" << std::hex << msr;
        return 0;
    }
    return it->second;
}

} // namespace fakefw

namespace korvane {

CpuidRegs arch_cpuid(uint32_t leaf, uint32_t subleaf) { return fakefw::require_cpu().cpuid(leaf, subleaf); }

uint64_t arch_rdmsr(uint32_t msr) { return fakefw::require_cpu().rdmsr(msr); }

} // namespace korvane
