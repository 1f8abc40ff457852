// Measurement into a fake TPM and a fake TDX-like CC environment. Expected records are laid
// out here byte by byte, and expected digests and register values are computed here with
// OpenSSL from the measured data.
#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "boot/log.h"
#include "boot/measure.h"
#include "fakefw/cc-measurement.h"
#include "fakefw/fakefw.h"
#include "fakefw/tcg2.h"

namespace {

using fakefw::Bytes;
using fakefw::HashAlg;
using namespace korvane;

constexpr uint32_t ALL_BANKS =
    EFI_TCG2_BOOT_HASH_ALG_SHA1 | EFI_TCG2_BOOT_HASH_ALG_SHA256 | EFI_TCG2_BOOT_HASH_ALG_SHA384;
constexpr uint32_t TDX_RTMR2 = 3; // where the TDX layout puts PCRs 8 to 15

const EVP_MD *md(HashAlg alg) {
    switch (alg) {
    case HashAlg::Sha1:
        return EVP_sha1();
    case HashAlg::Sha256:
        return EVP_sha256();
    case HashAlg::Sha384:
        return EVP_sha384();
    }
    return nullptr;
}

Bytes digest(HashAlg alg, const Bytes &data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned n = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &n, md(alg), nullptr), 1);
    out.resize(n);
    return out;
}

// A register that started at zero, after extending each of `measured` in order.
Bytes register_after(HashAlg alg, const std::vector<Bytes> &measured) {
    Bytes value(EVP_MD_get_size(md(alg)), 0);
    for (const Bytes &data : measured) {
        Bytes joined = value;
        Bytes d = digest(alg, data);
        joined.insert(joined.end(), d.begin(), d.end());
        value = digest(alg, joined);
    }
    return value;
}

Bytes utf16_with_nul(const std::u16string &s) {
    Bytes out;
    for (char16_t c : s) {
        out.push_back(c & 0xff);
        out.push_back(c >> 8);
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

void le32(Bytes &out, uint32_t v) {
    for (int i = 0; i < 4; i++)
        out.push_back((v >> (8 * i)) & 0xff);
}

Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// EFI_TCG2_EVENT / EFI_CC_EVENT: Size, HeaderSize 14, HeaderVersion 1, register, type, data.
Bytes event_record(uint32_t index, uint32_t type, const Bytes &data) {
    Bytes r;
    le32(r, 18 + data.size());
    le32(r, 14);
    r.push_back(1);
    r.push_back(0);
    le32(r, index);
    le32(r, type);
    return cat(r, data);
}

// TCG_PCClientTaggedEvent carrying a UTF-16 description.
Bytes tagged_data(uint32_t id, const std::u16string &description) {
    Bytes d = utf16_with_nul(description);
    Bytes r;
    le32(r, id);
    le32(r, d.size());
    return cat(r, d);
}

EFI_PHYSICAL_ADDRESS address(const void *p) { return reinterpret_cast<EFI_PHYSICAL_ADDRESS>(p); }
EFI_PHYSICAL_ADDRESS address(const Bytes &b) { return address(b.data()); }

const Bytes KERNEL = {0x4d, 0x5a, 0x90, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04, 0x00};
const Bytes DEVICETREE = {0xd0, 0x0d, 0xfe, 0xed, 0x00, 0x00, 0x00, 0x48};

class Measure : public ::testing::Test {
protected:
    fakefw::Firmware fw;
};

TEST(MergeMeasured, TriStateTable) {
    struct Case {
        int flag;
        bool measured;
        int result;
    };
    for (Case c : {Case{-1, true, 1}, Case{-1, false, 0}, Case{0, true, 0}, Case{0, false, 0}, Case{1, true, 1},
                   Case{1, false, 0}}) {
        int flag = c.flag;
        merge_measured(&flag, c.measured);
        EXPECT_EQ(flag, c.result) << "flag " << c.flag << " merged with " << c.measured;
    }
}

TEST(MergeMeasured, OneMissWinsForGood) {
    int flag = -1;
    for (bool m : {true, true, false, true, true})
        merge_measured(&flag, m);
    EXPECT_EQ(flag, 0);
}

TEST_F(Measure, IplEventExtendsEveryActiveBankAndLogsTheDescription) {
    fakefw::Tcg2 tpm(fw, {.active_banks = ALL_BANKS});
    tpm.install();

    bool measured = false;
    EXPECT_EQ(tpm_log_ipl_event(PCR_KERNEL_IMAGE, address(KERNEL), KERNEL.size(), u".linux", &measured),
              EFI_SUCCESS);
    EXPECT_TRUE(measured);

    ASSERT_EQ(tpm.calls().size(), 1u);
    const fakefw::Tcg2Call &call = tpm.calls()[0];
    EXPECT_EQ(call.flags, 0u);
    EXPECT_EQ(call.data, address(KERNEL));
    EXPECT_EQ(call.data_size, KERNEL.size());
    EXPECT_EQ(call.record, event_record(11, 13, utf16_with_nul(u".linux")));

    std::vector<fakefw::LoggedEvent> events = tpm.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].index, 11u);
    EXPECT_EQ(events[0].type, 13u);
    EXPECT_EQ(events[0].data, utf16_with_nul(u".linux"));
    ASSERT_EQ(events[0].digests.size(), 3u);
    for (HashAlg alg : {HashAlg::Sha1, HashAlg::Sha256, HashAlg::Sha384}) {
        EXPECT_EQ(events[0].digest(alg), digest(alg, KERNEL));
        EXPECT_EQ(tpm.pcr(alg, 11), register_after(alg, {KERNEL}));
        EXPECT_EQ(tpm.pcr(alg, 12), register_after(alg, {}));
    }
}

TEST_F(Measure, IplEventsChainInOrder) {
    fakefw::Tcg2 tpm(fw);
    tpm.install();

    Bytes name = {'.', 'l', 'i', 'n', 'u', 'x', 0};
    bool measured = false;
    EXPECT_EQ(tpm_log_ipl_event(PCR_KERNEL_IMAGE, address(name), name.size(), u".linux", &measured), EFI_SUCCESS);
    EXPECT_EQ(tpm_log_ipl_event(PCR_KERNEL_IMAGE, address(KERNEL), KERNEL.size(), u".linux", &measured),
              EFI_SUCCESS);
    EXPECT_EQ(tpm.pcr(HashAlg::Sha256, 11), register_after(HashAlg::Sha256, {name, KERNEL}));
    EXPECT_NE(tpm.pcr(HashAlg::Sha256, 11), register_after(HashAlg::Sha256, {KERNEL, name}));
    ASSERT_EQ(tpm.events().size(), 2u);
    EXPECT_EQ(tpm.events()[0].digest(HashAlg::Sha256), digest(HashAlg::Sha256, name));
}

TEST_F(Measure, OnlyActiveBanksAreExtendedAndLogged) {
    constexpr uint32_t WIDE = EFI_TCG2_BOOT_HASH_ALG_SHA256 | EFI_TCG2_BOOT_HASH_ALG_SHA384;
    for (uint32_t banks : {EFI_TCG2_BOOT_HASH_ALG_SHA1, WIDE}) {
        fakefw::Tcg2 tpm(fw, {.active_banks = banks});
        tpm.install();
        bool measured = false;
        EXPECT_EQ(tpm_log_ipl_event(PCR_INITRD_SYSEXTS, address(KERNEL), KERNEL.size(), u"System extension initrd",
                                    &measured),
                  EFI_SUCCESS);
        EXPECT_TRUE(measured);
        std::vector<fakefw::LoggedEvent> events = tpm.events();
        ASSERT_EQ(events.size(), 1u);
        std::vector<HashAlg> active = fakefw::tcg2_banks(banks);
        ASSERT_EQ(events[0].digests.size(), active.size());
        for (size_t i = 0; i < active.size(); i++) {
            EXPECT_EQ(events[0].digests[i].alg, active[i]);
            EXPECT_EQ(events[0].digests[i].digest, digest(active[i], KERNEL));
            EXPECT_EQ(tpm.pcr(active[i], 13), register_after(active[i], {KERNEL}));
        }
        tpm.uninstall();
    }
}

// What an OS reads from the firmware: the last TCG_PCR_EVENT2 of the log, parsed here by hand.
TEST_F(Measure, EventLogReadsBackThroughTheProtocol) {
    fakefw::Tcg2 tpm(fw);
    tpm.install();
    bool measured = false;
    EXPECT_EQ(tpm_log_ipl_event(PCR_KERNEL_IMAGE, address(KERNEL), KERNEL.size(), u".linux", &measured),
              EFI_SUCCESS);

    EFI_PHYSICAL_ADDRESS location = 0, last = 0;
    BOOLEAN truncated = true;
    EFI_TCG2_PROTOCOL *protocol = tpm.protocol();
    ASSERT_EQ(protocol->GetEventLog(protocol, EFI_TCG2_EVENT_LOG_FORMAT_TCG_2, &location, &last, &truncated),
              EFI_SUCCESS);
    EXPECT_FALSE(truncated);
    ASSERT_GT(last, location);

    Bytes expected;
    le32(expected, 11);
    le32(expected, 13);
    le32(expected, 1);
    expected.push_back(0x0b); // TPM_ALG_SHA256
    expected.push_back(0x00);
    expected = cat(expected, digest(HashAlg::Sha256, KERNEL));
    Bytes data = utf16_with_nul(u".linux");
    le32(expected, data.size());
    expected = cat(expected, data);
    const auto *p = reinterpret_cast<const uint8_t *>(last);
    EXPECT_EQ(Bytes(p, p + expected.size()), expected);
}

TEST_F(Measure, EmptyDescriptionAndEmptyBuffer) {
    fakefw::Tcg2 tpm(fw);
    tpm.install();

    // A zero length goes to the firmware as it is, even with a real address.
    bool measured = false;
    EXPECT_EQ(tpm_log_ipl_event(PCR_KERNEL_PARAMETERS, address(KERNEL), 0, u"", &measured), EFI_SUCCESS);
    EXPECT_TRUE(measured);
    ASSERT_EQ(tpm.calls().size(), 1u);
    EXPECT_EQ(tpm.calls()[0].data_size, 0u);
    EXPECT_EQ(tpm.calls()[0].record, event_record(12, 13, {0, 0}));
    EXPECT_EQ(tpm.calls()[0].record.size(), 20u);
    EXPECT_EQ(tpm.pcr(HashAlg::Sha256, 12), register_after(HashAlg::Sha256, {Bytes{}}));

    EXPECT_EQ(tpm_log_tagged_event(PCR_KERNEL_PARAMETERS, address(KERNEL), KERNEL.size(), TAG_INITRD_ADDON, u"",
                                   &measured),
              EFI_SUCCESS);
    ASSERT_EQ(tpm.calls().size(), 2u);
    EXPECT_EQ(tpm.calls()[1].record.size(), 28u);
    EXPECT_EQ(tpm.calls()[1].record, event_record(12, 6, tagged_data(TAG_INITRD_ADDON, u"")));
}

TEST_F(Measure, SwitchedOffPcrTouchesNothing) {
    fakefw::Tcg2 tpm(fw);
    fakefw::CcMeasurement cc(fw);
    tpm.install();
    cc.install();
    unsigned locates = fw.calls(fakefw::Service::LocateProtocol);

    bool measured = true;
    EXPECT_EQ(tpm_log_ipl_event(PCR_MEASUREMENT_OFF, address(KERNEL), KERNEL.size(), nullptr, &measured),
              EFI_SUCCESS);
    EXPECT_FALSE(measured);
    EXPECT_EQ(tpm_log_ipl_event(PCR_MEASUREMENT_OFF, address(KERNEL), KERNEL.size(), nullptr, nullptr), EFI_SUCCESS);
    measured = true;
    EXPECT_EQ(tpm_log_ipl_event_str8(PCR_MEASUREMENT_OFF, address(KERNEL), KERNEL.size(), nullptr, &measured),
              EFI_SUCCESS);
    EXPECT_FALSE(measured);

    EXPECT_EQ(fw.calls(fakefw::Service::LocateProtocol), locates);
    EXPECT_EQ(tpm.get_capability_calls(), 0u);
    EXPECT_EQ(cc.get_capability_calls(), 0u);
    EXPECT_TRUE(tpm.calls().empty());
    EXPECT_TRUE(cc.calls().empty());
}

TEST_F(Measure, NoTpmAndNoCcMeasuresNothingAndSucceeds) {
    bool measured = true;
    EXPECT_EQ(tpm_log_ipl_event(PCR_KERNEL_IMAGE, address(KERNEL), KERNEL.size(), u".linux", &measured),
              EFI_SUCCESS);
    EXPECT_FALSE(measured);
    EXPECT_EQ(tpm_log_ipl_event(PCR_KERNEL_IMAGE, address(KERNEL), KERNEL.size(), u".linux", nullptr), EFI_SUCCESS);

    measured = true;
    EXPECT_EQ(tpm_log_tagged_event(PCR_KERNEL_PARAMETERS, address(DEVICETREE), DEVICETREE.size(),
                                   TAG_DEVICETREE_ADDON, u"board.addon.efi", &measured),
              EFI_SUCCESS);
    EXPECT_FALSE(measured);

    measured = true;
    EXPECT_EQ(tpm_log_load_options(u"quiet", &measured), EFI_SUCCESS);
    EXPECT_FALSE(measured);
    EXPECT_EQ(logged_count, 0u);
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
    EXPECT_EQ(find_tcg2_protocol(), nullptr);
}

TEST_F(Measure, TpmThatIsNotPresentOrCannotSayIsNoTpm) {
    fakefw::Tcg2 off(fw, {.present = false});
    off.install();
    bool measured = true;
    EXPECT_EQ(tpm_log_ipl_event(PCR_KERNEL_IMAGE, address(KERNEL), KERNEL.size(), u".linux", &measured),
              EFI_SUCCESS);
    EXPECT_FALSE(measured);
    measured = true;
    EXPECT_EQ(tpm_log_tagged_event(PCR_KERNEL_PARAMETERS, address(DEVICETREE), DEVICETREE.size(),
                                   TAG_DEVICETREE_ADDON, u"board.addon.efi", &measured),
              EFI_SUCCESS);
    EXPECT_FALSE(measured);
    EXPECT_GE(off.get_capability_calls(), 2u);
    EXPECT_TRUE(off.calls().empty());
    EXPECT_EQ(find_tcg2_protocol(), nullptr);
    off.uninstall();

    fakefw::Tcg2 mute(fw);
    mute.install();
    mute.fail_get_capability(EFI_DEVICE_ERROR);
    measured = true;
    EXPECT_EQ(tpm_log_ipl_event(PCR_KERNEL_IMAGE, address(KERNEL), KERNEL.size(), u".linux", &measured),
              EFI_SUCCESS);
    EXPECT_FALSE(measured);
    EXPECT_TRUE(mute.calls().empty());
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
}

TEST_F(Measure, StructureVersion10CapabilityLayout) {
    struct Case {
        bool present;          // byte 10 of the 1.0 record
        uint32_t manufacturer; // bytes 15 to 18, so its second byte is byte 16
        bool usable;
    };
    for (Case c : {Case{true, 0, true}, Case{false, 0, false}, Case{false, 0x0100, true}}) {
        fakefw::Tcg2 tpm(fw, {.present = c.present, .structure_version = {1, 0}, .manufacturer_id = c.manufacturer});
        tpm.install();
        EXPECT_EQ(find_tcg2_protocol() != nullptr, c.usable) << "present " << c.present;
        tpm.uninstall();
    }

    fakefw::Tcg2 tpm(fw, {.structure_version = {1, 0}});
    tpm.install();
    bool measured = false;
    EXPECT_EQ(tpm_log_ipl_event(PCR_KERNEL_IMAGE, address(KERNEL), KERNEL.size(), u".linux", &measured),
              EFI_SUCCESS);
    EXPECT_TRUE(measured);
    EXPECT_EQ(tpm.pcr(HashAlg::Sha256, 11), register_after(HashAlg::Sha256, {KERNEL}));
}

TEST_F(Measure, CcOnlyMachineExtendsItsRegister) {
    fakefw::CcMeasurement cc(fw);
    cc.install();

    bool measured = false;
    EXPECT_EQ(tpm_log_ipl_event(PCR_KERNEL_PARAMETERS, address(KERNEL), KERNEL.size(), u"Credentials initrd",
                                &measured),
              EFI_SUCCESS);
    EXPECT_TRUE(measured);

    EXPECT_EQ(cc.mapped_pcrs(), std::vector<TCG_PCRINDEX>{12});
    ASSERT_EQ(cc.calls().size(), 1u);
    EXPECT_EQ(cc.calls()[0].flags, 0u);
    EXPECT_EQ(cc.calls()[0].data, address(KERNEL));
    EXPECT_EQ(cc.calls()[0].record, event_record(TDX_RTMR2, 13, utf16_with_nul(u"Credentials initrd")));
    std::vector<fakefw::LoggedEvent> events = cc.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].index, TDX_RTMR2);
    EXPECT_EQ(events[0].data, utf16_with_nul(u"Credentials initrd"));
    EXPECT_EQ(events[0].digest(HashAlg::Sha384), digest(HashAlg::Sha384, KERNEL));
    EXPECT_EQ(cc.mr(TDX_RTMR2), register_after(HashAlg::Sha384, {KERNEL}));

    // Tagged events belong to the TPM alone.
    measured = true;
    EXPECT_EQ(tpm_log_tagged_event(PCR_KERNEL_PARAMETERS, address(DEVICETREE), DEVICETREE.size(),
                                   TAG_DEVICETREE_ADDON, u"board.addon.efi", &measured),
              EFI_SUCCESS);
    EXPECT_FALSE(measured);
    EXPECT_EQ(cc.calls().size(), 1u);
    EXPECT_EQ(cc.mr(TDX_RTMR2), register_after(HashAlg::Sha384, {KERNEL}));
}

TEST_F(Measure, CcRegisterFirstThenTpm) {
    fakefw::Tcg2 tpm(fw);
    fakefw::CcMeasurement cc(fw);
    tpm.install();
    cc.install();

    bool measured = false;
    EXPECT_EQ(tpm_log_ipl_event(PCR_INITRD_SYSEXTS, address(KERNEL), KERNEL.size(), u"System extension initrd",
                                &measured),
              EFI_SUCCESS);
    EXPECT_TRUE(measured);

    std::vector<fakefw::LoggedEvent> cc_events = cc.events();
    std::vector<fakefw::LoggedEvent> tpm_events = tpm.events();
    ASSERT_EQ(cc_events.size(), 1u);
    ASSERT_EQ(tpm_events.size(), 1u);
    EXPECT_LT(cc_events[0].sequence, tpm_events[0].sequence);
    EXPECT_EQ(cc_events[0].data, tpm_events[0].data);
    EXPECT_EQ(tpm_events[0].index, 13u);
    EXPECT_EQ(cc.mr(TDX_RTMR2), register_after(HashAlg::Sha384, {KERNEL}));
    EXPECT_EQ(tpm.pcr(HashAlg::Sha256, 13), register_after(HashAlg::Sha256, {KERNEL}));
}

TEST_F(Measure, CcThatCannotMapThePcrStopsTheTpmToo) {
    fakefw::Tcg2 tpm(fw);
    fakefw::CcMeasurement cc(fw);
    tpm.install();
    cc.install();

    // The firmware's own status does not come through: it is always "not found".
    cc.fail_map_pcr_to_mr_index(EFI_DEVICE_ERROR, 0, 1);
    bool measured = true;
    EXPECT_EQ(tpm_log_ipl_event(PCR_KERNEL_IMAGE, address(KERNEL), KERNEL.size(), u".linux", &measured),
              EFI_NOT_FOUND);
    EXPECT_TRUE(measured);

    // PCR 20 has no TDX register.
    measured = false;
    EXPECT_EQ(tpm_log_ipl_event(20, address(KERNEL), KERNEL.size(), u"late", &measured), EFI_NOT_FOUND);
    EXPECT_FALSE(measured);

    EXPECT_TRUE(cc.calls().empty());
    EXPECT_TRUE(tpm.calls().empty());
    EXPECT_EQ(tpm.pcr(HashAlg::Sha256, 11), register_after(HashAlg::Sha256, {}));
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
}

TEST_F(Measure, CcExtendFailureIsReturnedAndSkipsTheTpm) {
    fakefw::Tcg2 tpm(fw);
    fakefw::CcMeasurement cc(fw);
    tpm.install();
    cc.install();
    cc.fail_hash_log_extend_event(EFI_VOLUME_FULL);

    bool measured = false;
    EXPECT_EQ(tpm_log_ipl_event(PCR_KERNEL_IMAGE, address(KERNEL), KERNEL.size(), u".linux", &measured),
              EFI_VOLUME_FULL);
    EXPECT_FALSE(measured);
    EXPECT_EQ(cc.calls().size(), 1u);
    EXPECT_TRUE(tpm.calls().empty());
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
}

TEST_F(Measure, CcWithoutTcg2LogOrCapabilityIsAbsent) {
    fakefw::Tcg2 tpm(fw);
    tpm.install();
    {
        fakefw::CcMeasurement cc(fw, {.supported_event_logs = EFI_TCG2_EVENT_LOG_FORMAT_TCG_1_2});
        cc.install();
        bool measured = false;
        EXPECT_EQ(tpm_log_ipl_event(PCR_KERNEL_IMAGE, address(KERNEL), KERNEL.size(), u".linux", &measured),
                  EFI_SUCCESS);
        EXPECT_TRUE(measured);
        EXPECT_TRUE(cc.mapped_pcrs().empty());
        EXPECT_TRUE(cc.calls().empty());
    }
    {
        fakefw::CcMeasurement cc(fw);
        cc.install();
        cc.fail_get_capability(EFI_UNSUPPORTED);
        bool measured = false;
        EXPECT_EQ(tpm_log_ipl_event(PCR_KERNEL_IMAGE, address(KERNEL), KERNEL.size(), u".linux", &measured),
                  EFI_SUCCESS);
        EXPECT_TRUE(measured);
        EXPECT_TRUE(cc.mapped_pcrs().empty());
        EXPECT_TRUE(cc.calls().empty());
    }
    EXPECT_EQ(tpm.calls().size(), 2u);
    EXPECT_EQ(tpm.pcr(HashAlg::Sha256, 11), register_after(HashAlg::Sha256, {KERNEL, KERNEL}));
}

TEST_F(Measure, TpmExtendFailureIsReturnedAndLeavesTheFlag) {
    fakefw::Tcg2 tpm(fw);
    fakefw::CcMeasurement cc(fw);
    tpm.install();
    cc.install();
    tpm.fail_hash_log_extend_event(EFI_DEVICE_ERROR, 0, 1);

    bool measured = true;
    EXPECT_EQ(tpm_log_ipl_event(PCR_KERNEL_IMAGE, address(KERNEL), KERNEL.size(), u".linux", &measured),
              EFI_DEVICE_ERROR);
    EXPECT_TRUE(measured);
    // The CC register had already been extended.
    EXPECT_EQ(cc.calls().size(), 1u);
    EXPECT_TRUE(tpm.events().empty());
    EXPECT_EQ(tpm.pcr(HashAlg::Sha256, 11), register_after(HashAlg::Sha256, {}));
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);

    measured = false;
    EXPECT_EQ(tpm_log_ipl_event(PCR_KERNEL_IMAGE, address(KERNEL), KERNEL.size(), u".linux", &measured),
              EFI_SUCCESS);
    EXPECT_TRUE(measured);
}

TEST_F(Measure, TaggedEventIsByteExactAndTpmOnly) {
    fakefw::Tcg2 tpm(fw, {.active_banks = EFI_TCG2_BOOT_HASH_ALG_SHA1 | EFI_TCG2_BOOT_HASH_ALG_SHA256});
    fakefw::CcMeasurement cc(fw);
    tpm.install();
    cc.install();

    bool measured = false;
    EXPECT_EQ(tpm_log_tagged_event(PCR_KERNEL_PARAMETERS, address(DEVICETREE), DEVICETREE.size(),
                                   TAG_DEVICETREE_ADDON, u"board.addon.efi", &measured),
              EFI_SUCCESS);
    EXPECT_TRUE(measured);

    Bytes data = tagged_data(0x6C46F751, u"board.addon.efi");
    ASSERT_EQ(tpm.calls().size(), 1u);
    EXPECT_EQ(tpm.calls()[0].flags, 0u);
    EXPECT_EQ(tpm.calls()[0].data_size, DEVICETREE.size());
    EXPECT_EQ(tpm.calls()[0].record, event_record(12, 6, data));
    EXPECT_EQ(tpm.calls()[0].record.size(), 26u + utf16_with_nul(u"board.addon.efi").size());
    std::vector<fakefw::LoggedEvent> events = tpm.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, 6u);
    EXPECT_EQ(events[0].data, data);
    for (HashAlg alg : {HashAlg::Sha1, HashAlg::Sha256}) {
        EXPECT_EQ(events[0].digest(alg), digest(alg, DEVICETREE));
        EXPECT_EQ(tpm.pcr(alg, 12), register_after(alg, {DEVICETREE}));
    }
    EXPECT_EQ(cc.get_capability_calls(), 0u);
    EXPECT_TRUE(cc.calls().empty());
}

TEST_F(Measure, TaggedEventIdsAreTheRegisteredOnes) {
    fakefw::Tcg2 tpm(fw);
    tpm.install();
    std::u16string profile = u"1";
    Bytes profile_bytes = utf16_with_nul(profile);
    struct Case {
        uint32_t tag;
        uint32_t id;
    };
    for (Case c : {Case{TAG_PROFILE_NUMBER, 0x13AED6DB}, Case{TAG_DEVICETREE_ADDON, 0x6C46F751},
                   Case{TAG_UCODE_ADDON, 0xDAC08E1A}, Case{TAG_INITRD_ADDON, 0x49DFFE0F}}) {
        bool measured = false;
        EXPECT_EQ(tpm_log_tagged_event(PCR_KERNEL_PARAMETERS, address(profile_bytes), profile_bytes.size(), c.tag,
                                       profile.c_str(), &measured),
                  EFI_SUCCESS);
        EXPECT_TRUE(measured);
        EXPECT_EQ(tpm.events().back().data, tagged_data(c.id, profile));
    }
}

TEST_F(Measure, TaggedEventFailureIsReturnedAndLeavesTheFlag) {
    fakefw::Tcg2 tpm(fw);
    tpm.install();
    tpm.fail_hash_log_extend_event(EFI_OUT_OF_RESOURCES);
    bool measured = false;
    EXPECT_EQ(tpm_log_tagged_event(PCR_KERNEL_PARAMETERS, address(DEVICETREE), DEVICETREE.size(), TAG_UCODE_ADDON,
                                   u"ucode.addon.efi", &measured),
              EFI_OUT_OF_RESOURCES);
    EXPECT_FALSE(measured);
    EXPECT_EQ(logged_count, 0u);
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
}

TEST_F(Measure, Str8DescriptionBecomesUtf16) {
    fakefw::Tcg2 tpm(fw);
    fakefw::CcMeasurement cc(fw);
    tpm.install();
    cc.install();

    bool measured = false;
    EXPECT_EQ(tpm_log_ipl_event_str8(PCR_KERNEL_IMAGE, address(KERNEL), KERNEL.size(), ".caf\xc3\xa9", &measured),
              EFI_SUCCESS);
    EXPECT_TRUE(measured);
    Bytes expected = utf16_with_nul(u".caf\u00e9");
    ASSERT_EQ(tpm.events().size(), 1u);
    EXPECT_EQ(tpm.events()[0].data, expected);
    ASSERT_EQ(cc.events().size(), 1u);
    EXPECT_EQ(cc.events()[0].data, expected);
    EXPECT_EQ(tpm.pcr(HashAlg::Sha256, 11), register_after(HashAlg::Sha256, {KERNEL}));
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
}

TEST_F(Measure, LoadOptionsMeasureTheStringWithItsNul) {
    fakefw::Tcg2 tpm(fw);
    fakefw::CcMeasurement cc(fw);
    tpm.install();
    cc.install();

    const char16_t *options = u"console=ttyS0 quiet";
    Bytes bytes = utf16_with_nul(options);
    bool measured = false;
    EXPECT_EQ(tpm_log_load_options(options, &measured), EFI_SUCCESS);
    EXPECT_TRUE(measured);

    ASSERT_EQ(tpm.calls().size(), 1u);
    EXPECT_EQ(tpm.calls()[0].data, address(options));
    EXPECT_EQ(tpm.calls()[0].data_size, bytes.size());
    EXPECT_EQ(tpm.calls()[0].record, event_record(12, 13, bytes));
    EXPECT_EQ(tpm.pcr(HashAlg::Sha256, 12), register_after(HashAlg::Sha256, {bytes}));
    EXPECT_EQ(cc.mr(TDX_RTMR2), register_after(HashAlg::Sha384, {bytes}));
    EXPECT_EQ(logged_count, 0u);
}

TEST_F(Measure, LoadOptionsFailureIsLoggedWithPcr12) {
    fakefw::Tcg2 tpm(fw);
    tpm.install();
    tpm.fail_hash_log_extend_event(EFI_DEVICE_ERROR);

    bool measured = false;
    EXPECT_EQ(tpm_log_load_options(u"quiet", &measured), EFI_DEVICE_ERROR);
    EXPECT_FALSE(measured);
    EXPECT_EQ(logged_count, 1u);
    fakefw::Line line = fw.console().last_line();
    std::string text = line.utf8();
    EXPECT_EQ(text.rfind("src/boot/measure.cpp:", 0), 0u) << text;
    const std::string message =
        "@tpm_log_load_options: Unable to add load options (i.e. kernel command) line measurement to PCR 12: "
        "Device error";
    ASSERT_GE(text.size(), message.size());
    EXPECT_EQ(text.substr(text.size() - message.size()), message);
    ASSERT_FALSE(line.attributes.empty());
    EXPECT_EQ(line.attributes[0], EFI_LIGHTRED);
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
}

TEST_F(Measure, MissingArgumentsHalt) {
    fakefw::Tcg2 tpm(fw);
    tpm.install();
    bool measured = false;
    std::string text = fakefw::expect_halt(
        [&] { (void)tpm_log_ipl_event(PCR_KERNEL_IMAGE, address(KERNEL), KERNEL.size(), nullptr, &measured); });
    EXPECT_NE(text.find("Assertion 'description' failed"), std::string::npos) << text;
    EXPECT_TRUE(tpm.calls().empty());
}

TEST_F(Measure, EmptyStr8DescriptionHalts) {
    std::string text = fakefw::expect_halt(
        [&] { (void)tpm_log_ipl_event_str8(PCR_KERNEL_IMAGE, address(KERNEL), KERNEL.size(), "", nullptr); });
    EXPECT_NE(text.find("Assertion 'description' failed"), std::string::npos) << text;
}

TEST_F(Measure, TaggedEventWithoutFlagHalts) {
    std::string text = fakefw::expect_halt([&] {
        (void)tpm_log_tagged_event(PCR_KERNEL_PARAMETERS, address(DEVICETREE), DEVICETREE.size(), TAG_UCODE_ADDON,
                                   u"ucode.addon.efi", nullptr);
    });
    EXPECT_NE(text.find("Assertion 'measured_out' failed"), std::string::npos) << text;
}

} // namespace
