#include <gtest/gtest.h>

#include "boot/vmm.h"
#include "fakefw/fake-cpu.h"

using fakefw::FakeCpu;
using korvane::CpuidRegs;
using korvane::hyperv_isolation_type_is;
using korvane::running_in_confidential_vm;

namespace {

constexpr uint32_t HYPERVISOR_PRESENT = 1u << 31;
constexpr uint32_t SEV_STATUS_MSR = 0xc0010131;
constexpr uint32_t HV_ISOLATION = 1u << 22;
constexpr uint32_t HV_CPU_MANAGEMENT = 1u << 12;

void set_vendor(FakeCpu &cpu, const char (&vendor)[13], bool hypervisor, uint32_t max_leaf = 0x21) {
    CpuidRegs basic = {max_leaf, 0, 0, 0};
    FakeCpu::spell(vendor, &basic.ebx, &basic.edx, &basic.ecx);
    cpu.set_cpuid(0, basic);
    cpu.set_cpuid(1, {0, 0, hypervisor ? HYPERVISOR_PRESENT : 0, 0});
}

void set_hyperv(FakeCpu &cpu, uint32_t isolation_type, uint32_t max_leaf = 0x4000000c,
                uint32_t features = HV_ISOLATION, const char (&signature)[13] = "Microsoft Hv") {
    CpuidRegs vendor = {max_leaf, 0, 0, 0};
    FakeCpu::spell(signature, &vendor.ebx, &vendor.ecx, &vendor.edx);
    cpu.set_cpuid(0x40000000, vendor);
    cpu.set_cpuid(0x40000003, {0, features, 0, 0});
    cpu.set_cpuid(0x4000000c, {0, isolation_type, 0, 0});
}

void set_amd(FakeCpu &cpu, uint32_t max_extended_leaf, bool sev_capable) {
    set_vendor(cpu, "AuthenticAMD", true);
    cpu.set_cpuid(0x80000000, {max_extended_leaf, 0, 0, 0});
    cpu.set_cpuid(0x8000001f, {sev_capable ? 0x2u : 0x1u, 0, 0, 0});
}

void set_tdx_signature(FakeCpu &cpu, const char (&signature)[13]) {
    CpuidRegs tdx = {};
    FakeCpu::spell(signature, &tdx.ebx, &tdx.edx, &tdx.ecx);
    cpu.set_cpuid(0x21, 0, tdx);
}

} // namespace

TEST(ConfidentialVm, BareMetalAsksNoFurtherLeaf) {
    FakeCpu cpu;
    set_vendor(cpu, "AuthenticAMD", false);
    cpu.set_cpuid(0x80000000, {0x80000021, 0, 0, 0});
    cpu.set_cpuid(0x8000001f, {0x2, 0, 0, 0});
    cpu.set_msr(SEV_STATUS_MSR, 0x7);
    EXPECT_FALSE(running_in_confidential_vm());
    for (uint32_t leaf : cpu.cpuid_leaves())
        EXPECT_TRUE(leaf == 0 || leaf == 1) << std::hex << leaf;
    EXPECT_TRUE(cpu.msrs_read().empty());
}

TEST(ConfidentialVm, NoBasicLeavesMeansNo) {
    FakeCpu cpu;
    set_vendor(cpu, "GenuineIntel", true, 0);
    set_tdx_signature(cpu, "IntelTDX    ");
    EXPECT_FALSE(running_in_confidential_vm());
    EXPECT_FALSE(cpu.queried(1));
}

TEST(ConfidentialVm, AmdWithoutSevLeafIsNot) {
    FakeCpu cpu;
    set_amd(cpu, 0x8000001e, true);
    cpu.set_msr(SEV_STATUS_MSR, 0x7);
    EXPECT_FALSE(running_in_confidential_vm());
    EXPECT_FALSE(cpu.queried(0x8000001f));
    EXPECT_TRUE(cpu.msrs_read().empty());
}

TEST(ConfidentialVm, AmdSevStatusDecides) {
    struct Case {
        uint64_t status;
        bool expected;
    } cases[] = {
        {0x0, false}, {0x1, true}, {0x2, true}, {0x4, true}, {0x7, true},
        {0x8, false}, // a status bit that is no encryption mode
        {0x100000000ull, false}, // only the low half counts
    };
    for (const Case &c : cases) {
        FakeCpu cpu;
        set_amd(cpu, 0x8000001f, true);
        set_hyperv(cpu, 2);
        cpu.set_msr(SEV_STATUS_MSR, c.status);
        EXPECT_EQ(running_in_confidential_vm(), c.expected) << std::hex << c.status;
        EXPECT_EQ(cpu.msrs_read(), std::vector<uint32_t>{SEV_STATUS_MSR});
        // With the SEV capability the Hyper-V probe is never made.
        EXPECT_FALSE(cpu.queried(0x40000000));
    }
}

TEST(ConfidentialVm, AmdWithoutSevCapabilityAsksHyperV) {
    for (uint32_t type : {1u, 2u, 3u}) {
        FakeCpu cpu;
        set_amd(cpu, 0x8000001f, false);
        set_hyperv(cpu, type);
        EXPECT_EQ(running_in_confidential_vm(), type == 2) << type;
        EXPECT_TRUE(cpu.msrs_read().empty());
    }
}

TEST(ConfidentialVm, IntelTdxSignature) {
    FakeCpu cpu;
    set_vendor(cpu, "GenuineIntel", true);
    set_tdx_signature(cpu, "IntelTDX    ");
    EXPECT_TRUE(running_in_confidential_vm());
    EXPECT_FALSE(cpu.queried(0x40000000));
}

TEST(ConfidentialVm, IntelWithoutTdxAsksHyperV) {
    for (uint32_t type : {2u, 3u}) {
        FakeCpu cpu;
        set_vendor(cpu, "GenuineIntel", true);
        // All twelve bytes count: a signature that differs in its last blank is no TDX.
        set_tdx_signature(cpu, "IntelTDX   X");
        set_hyperv(cpu, type);
        EXPECT_EQ(running_in_confidential_vm(), type == 3) << type;
    }
}

TEST(ConfidentialVm, IntelPlainGuestIsNot) {
    FakeCpu cpu;
    set_vendor(cpu, "GenuineIntel", true);
    EXPECT_FALSE(running_in_confidential_vm());
}

TEST(ConfidentialVm, OtherVendorIsNot) {
    FakeCpu cpu;
    set_vendor(cpu, "HygonGenuine", true);
    cpu.set_cpuid(0x80000000, {0x8000001f, 0, 0, 0});
    cpu.set_cpuid(0x8000001f, {0x2, 0, 0, 0});
    cpu.set_msr(SEV_STATUS_MSR, 0x7);
    set_tdx_signature(cpu, "IntelTDX    ");
    set_hyperv(cpu, 2);
    EXPECT_FALSE(running_in_confidential_vm());
    EXPECT_TRUE(cpu.msrs_read().empty());
}

TEST(HypervIsolation, MatchesTheLowFourBitsOfTheType) {
    FakeCpu cpu;
    set_hyperv(cpu, 0x12);
    EXPECT_TRUE(hyperv_isolation_type_is(2));
    EXPECT_FALSE(hyperv_isolation_type_is(0x12));
    EXPECT_FALSE(hyperv_isolation_type_is(3));
}

TEST(HypervIsolation, HighestLeafMustBeInRange) {
    struct Case {
        uint32_t max_leaf;
        bool expected;
    } cases[] = {
        {0x40000004, false}, {0x40000005, true}, {0x4000ffff, true}, {0x40010000, false}, {0, false},
    };
    for (const Case &c : cases) {
        FakeCpu cpu;
        set_hyperv(cpu, 3, c.max_leaf);
        EXPECT_EQ(hyperv_isolation_type_is(3), c.expected) << std::hex << c.max_leaf;
    }
}

TEST(HypervIsolation, NeedsTheMicrosoftSignature) {
    FakeCpu cpu;
    set_hyperv(cpu, 3, 0x4000000c, HV_ISOLATION, "KVMKVMKVM\0\0\0");
    EXPECT_FALSE(hyperv_isolation_type_is(3));
}

TEST(HypervIsolation, SignatureIsEbxEcxEdx) {
    FakeCpu cpu;
    set_hyperv(cpu, 3);
    CpuidRegs swapped = {0x4000000c, 0, 0, 0};
    FakeCpu::spell("Microsoft Hv", &swapped.ebx, &swapped.edx, &swapped.ecx);
    cpu.set_cpuid(0x40000000, swapped);
    EXPECT_FALSE(hyperv_isolation_type_is(3));
}

TEST(HypervIsolation, NeedsIsolationWithoutCpuManagement) {
    struct Case {
        uint32_t features;
        bool expected;
    } cases[] = {
        {HV_ISOLATION, true},
        {HV_ISOLATION | HV_CPU_MANAGEMENT, false},
        {HV_CPU_MANAGEMENT, false},
        {0, false},
        {0xffffffff & ~HV_CPU_MANAGEMENT, true},
    };
    for (const Case &c : cases) {
        FakeCpu cpu;
        set_hyperv(cpu, 3, 0x4000000c, c.features);
        EXPECT_EQ(hyperv_isolation_type_is(3), c.expected) << std::hex << c.features;
    }
}

TEST(ConfidentialVm, VendorIsEbxEdxEcx) {
    FakeCpu cpu;
    set_vendor(cpu, "GenuineIntel", true);
    set_tdx_signature(cpu, "IntelTDX    ");
    CpuidRegs swapped = {0x21, 0, 0, 0};
    FakeCpu::spell("GenuineIntel", &swapped.ebx, &swapped.ecx, &swapped.edx);
    cpu.set_cpuid(0, swapped);
    EXPECT_FALSE(running_in_confidential_vm());
}
