#include "vmm.h"

#include <stddef.h>

#include "arch.h"

namespace korvane {

namespace {

constexpr uint32_t CPUID_HYPERVISOR_PRESENT = 1u << 31; // leaf 1, ECX
constexpr uint32_t CPUID_AMD_SEV = 1u << 1;             // leaf 0x8000001f, EAX
constexpr uint32_t MSR_AMD_SEV_STATUS = 0xc0010131;
constexpr uint32_t SEV_STATUS_ENABLED_MASK = 0x7;       // SEV, SEV-ES, SEV-SNP

constexpr uint32_t HV_LEAF_VENDOR = 0x40000000;
constexpr uint32_t HV_LEAF_FEATURES = 0x40000003;
constexpr uint32_t HV_LEAF_ISOLATION = 0x4000000c;
constexpr uint32_t HV_LEAF_MIN = 0x40000005;
constexpr uint32_t HV_LEAF_MAX = 0x4000ffff;
// Privileges in leaf 0x40000003 EBX. Only the root partition manages processors, and the root
// is never an isolated guest.
constexpr uint32_t HV_ISOLATION = 1u << 22;
constexpr uint32_t HV_CPU_MANAGEMENT = 1u << 12;
constexpr uint32_t HV_ISOLATION_TYPE_MASK = 0xf;

CpuidRegs cpuid(uint32_t leaf) { return arch_cpuid(leaf, 0); }

// Whether three registers, laid end to end in this order, spell the 12-byte `text`.
bool spells(uint32_t a, uint32_t b, uint32_t c, const char (&text)[13]) {
    const uint32_t regs[3] = {a, b, c};
    for (size_t i = 0; i < 12; i++)
        if (static_cast<uint8_t>(regs[i / 4] >> (8 * (i % 4))) != static_cast<uint8_t>(text[i]))
            return false;
    return true;
}

bool amd_sev_active() {
    if (cpuid(0x80000000).eax < 0x8000001f)
        return false;
    if (!(cpuid(0x8000001f).eax & CPUID_AMD_SEV))
        return hyperv_isolation_type_is(HYPERV_ISOLATION_TYPE_SNP);
    return (static_cast<uint32_t>(arch_rdmsr(MSR_AMD_SEV_STATUS)) & SEV_STATUS_ENABLED_MASK) != 0;
}

bool intel_tdx_active() {
    CpuidRegs tdx = arch_cpuid(0x21, 0);
    if (spells(tdx.ebx, tdx.edx, tdx.ecx, "IntelTDX    "))
        return true;
    return hyperv_isolation_type_is(HYPERV_ISOLATION_TYPE_TDX);
}

} // namespace

bool running_in_confidential_vm() {
    CpuidRegs basic = cpuid(0);
    if (basic.eax == 0)
        return false;
    if (!(cpuid(1).ecx & CPUID_HYPERVISOR_PRESENT))
        return false;
    if (spells(basic.ebx, basic.edx, basic.ecx, "AuthenticAMD"))
        return amd_sev_active();
    if (spells(basic.ebx, basic.edx, basic.ecx, "GenuineIntel"))
        return intel_tdx_active();
    return false;
}

bool hyperv_isolation_type_is(uint32_t isolation_type) {
    CpuidRegs vendor = cpuid(HV_LEAF_VENDOR);
    if (vendor.eax < HV_LEAF_MIN || vendor.eax > HV_LEAF_MAX)
        return false;
    if (!spells(vendor.ebx, vendor.ecx, vendor.edx, "Microsoft Hv"))
        return false;
    uint32_t features = cpuid(HV_LEAF_FEATURES).ebx;
    if (!(features & HV_ISOLATION) || (features & HV_CPU_MANAGEMENT))
        return false;
    return (cpuid(HV_LEAF_ISOLATION).ebx & HV_ISOLATION_TYPE_MASK) == isolation_type;
}

} // namespace korvane
