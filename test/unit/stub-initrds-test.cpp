#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "boot/stub-initrds.h"
#include "fakefw/fakefw.h"
#include "fakefw/tcg2.h"
#include "newc-reader.h"
#include "support/device-path-builder.h"

using namespace korvane;
using namespace newctest;
using fakefw::Bytes;
using testsupport::dp_file_node;
using testsupport::dp_path;

namespace {

class Initrds : public ::testing::Test {
protected:
    fakefw::Firmware fw;
};

iovec part(std::string &s) { return {s.data(), s.size()}; }

std::string bytes(const void *p, size_t n) { return {static_cast<const char *>(p), n}; }

} // namespace

TEST_F(Initrds, CombinedPartsAreEachZeroFilledToFourBytesBelow4G) {
    std::string ucode = "UCODE", base = "12345678", extra = "abc";
    InitrdList list;
    list.append(part(ucode));
    list.append(part(base));
    list.append(part(extra));

    Pages pages;
    size_t size = 0;
    ASSERT_EQ(combine_initrds(list, &pages, &size), EFI_SUCCESS);
    EXPECT_EQ(size, 8u + 8u + 4u);
    EXPECT_EQ(bytes(pages.ptr(), size), std::string("UCODE\0\0\0" "12345678" "abc\0", 20));
    EXPECT_LE(pages.addr() + size, 0x100000000ULL);
    const fakefw::PageBlock *block = fw.memory().pages(pages.addr());
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->type, EfiLoaderData);
    EXPECT_EQ(pages.n_pages(), 1u);
}

TEST_F(Initrds, ATotalThatOverflowsIsRefusedBeforeAnythingIsAllocated) {
    std::string small = "x";
    InitrdList list;
    list.append(part(small));
    list.append({small.data(), SIZE_MAX - 2});
    Pages pages;
    size_t size = 0;
    EXPECT_EQ(combine_initrds(list, &pages, &size), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(fw.memory().live_pages_count(), 0u);

    InitrdList sum;
    sum.append({small.data(), SIZE_MAX / 2 + 1});
    sum.append({small.data(), SIZE_MAX / 2 + 1});
    EXPECT_EQ(combine_initrds(sum, &pages, &size), EFI_OUT_OF_RESOURCES);
}

TEST_F(Initrds, EmbeddedInitrdsStayInPlaceAndSlotsAppendInIndexOrder) {
    std::vector<uint8_t> image(0x3000);
    EFI_LOADED_IMAGE_PROTOCOL loaded_image = {.ImageBase = image.data()};
    PeSectionSpan sections[IMAGE_SECTION_COUNT] = {};
    sections[SECTION_INITRD] = {.mem_size = 10, .mem_offset = 0x1000};
    sections[SECTION_UCODE] = {.mem_size = 3, .mem_offset = 0x2000};

    InitrdSlots slots;
    lookup_embedded_initrds(&loaded_image, sections, slots);
    EXPECT_EQ(slots[INITRD_SLOT_BASE].iov_base, image.data() + 0x1000);
    EXPECT_EQ(slots[INITRD_SLOT_BASE].iov_len, 10u);
    EXPECT_EQ(slots[INITRD_SLOT_UCODE].iov_base, image.data() + 0x2000);

    auto *owned = static_cast<char *>(xmalloc(4));
    std::memcpy(owned, "OSRL", 4);
    slots[INITRD_SLOT_OSREL] = {owned, 4};
    InitrdList list;
    append_initrd_slots(slots, list);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].iov_base, image.data() + 0x2000);
    EXPECT_EQ(list[1].iov_base, image.data() + 0x1000);
    EXPECT_EQ(list[2].iov_base, owned);

    // Only the slots built in pool memory are released; the in-place ones are the image's.
    slots.free_owned();
    EXPECT_EQ(slots[INITRD_SLOT_OSREL].iov_base, nullptr);
    EXPECT_EQ(slots[INITRD_SLOT_BASE].iov_base, image.data() + 0x1000);
}

namespace {

Bytes utf16_with_nul(const std::u16string &s) {
    Bytes out;
    for (char16_t c : s + u'\0')
        out.insert(out.end(), {uint8_t(c), uint8_t(c >> 8)});
    return out;
}

void put32(Bytes &b, uint32_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}); }

// The data of a tagged event: its id, the size of the description, the description.
Bytes tagged_event_data(uint32_t tag, const std::u16string &description) {
    Bytes name = utf16_with_nul(description), out;
    put32(out, tag);
    put32(out, uint32_t(name.size()));
    out.insert(out.end(), name.begin(), name.end());
    return out;
}

Bytes sha256(const void *p, size_t n) { return fakefw::hash(fakefw::HashAlg::Sha256, p, n); }

std::string text(const iovec &v) { return bytes(v.iov_base, v.iov_len); }

// "name mode contents" of every member of a complete archive, which must parse strictly;
// the mode in octal without its file type.
std::vector<std::string> members(const iovec &archive) {
    Parsed p = parse_newc(text(archive));
    EXPECT_EQ(p.error, "");
    EXPECT_TRUE(p.trailer);
    std::vector<std::string> out;
    for (const Member &m : p.members) {
        char mode[8];
        std::snprintf(mode, sizeof(mode), "%o", m.field[MODE] & 07777);
        out.push_back(m.name + " " + mode + " " + m.data);
    }
    return out;
}

// An owned copy, as the add-on loader hands its payloads over.
void append_addon(NamedAddonList &list, const char16_t *name, const std::string &data) {
    void *copy = data.empty() ? nullptr : xmalloc(data.size());
    if (copy)
        std::memcpy(copy, data.data(), data.size());
    list.append(xstr16_dup(name, SIZE_MAX), {copy, data.size()});
}

class Assembly : public ::testing::Test {
protected:
    fakefw::Firmware fw;
    fakefw::Tcg2 tpm{fw};
    fakefw::Volume &esp = fw.file_systems().add_volume();
    Bytes file_path = dp_path({dp_file_node(u"\\EFI\\Linux\\uki+3-1.efi")});
    EFI_LOADED_IMAGE_PROTOCOL image = {};
    int parameters = -1, sysext = 7, confext = 7;

    void SetUp() override {
        image.DeviceHandle = esp.handle();
        image.FilePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(file_path.data());
        tpm.install();
    }
    void add_sidecars() {
        esp.add_file(u"\\EFI\\Linux\\uki.efi.extra.d\\c.cred", "C");
        esp.add_file(u"\\loader\\credentials\\g.cred", "G");
        esp.add_file(u"\\EFI\\Linux\\uki.efi.extra.d\\s.raw", "S");
        esp.add_file(u"\\EFI\\Linux\\uki.efi.extra.d\\x.confext.raw", "X");
    }
    void sidecars(InitrdSlots &slots) { generate_sidecar_initrds(&image, slots, {&parameters, &sysext, &confext}); }
};

using Strings = std::vector<std::string>;

} // namespace

TEST_F(Assembly, SidecarArchivesFillTheirSlotsAndAreMeasuredEach) {
    add_sidecars();
    InitrdSlots slots;
    sidecars(slots);

    EXPECT_EQ(members(slots[INITRD_SLOT_CREDENTIALS]),
              (Strings{".extra 555 ", ".extra/credentials 500 ", ".extra/credentials/c.cred 400 C"}));
    EXPECT_EQ(members(slots[INITRD_SLOT_GLOBAL_CREDENTIALS]),
              (Strings{".extra 555 ", ".extra/global_credentials 500 ", ".extra/global_credentials/g.cred 400 G"}));
    EXPECT_EQ(members(slots[INITRD_SLOT_SYSEXT]),
              (Strings{".extra 555 ", ".extra/sysext 555 ", ".extra/sysext/s.raw 444 S"}));
    EXPECT_EQ(members(slots[INITRD_SLOT_CONFEXT]),
              (Strings{".extra 555 ", ".extra/confext 555 ", ".extra/confext/x.confext.raw 444 X"}));

    const struct {
        InitrdSlot slot;
        uint32_t pcr;
        std::u16string description;
    } expected[] = {
        {INITRD_SLOT_CREDENTIALS, 12, u"Credentials initrd"},
        {INITRD_SLOT_GLOBAL_CREDENTIALS, 12, u"Global credentials initrd"},
        {INITRD_SLOT_SYSEXT, 13, u"System extension initrd"},
        {INITRD_SLOT_CONFEXT, 12, u"Configuration extension initrd"},
    };
    std::vector<fakefw::LoggedEvent> events = tpm.events();
    ASSERT_EQ(events.size(), 4u);
    for (size_t i = 0; i < 4; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(events[i].index, expected[i].pcr);
        EXPECT_EQ(events[i].type, EV_IPL);
        EXPECT_EQ(events[i].data, utf16_with_nul(expected[i].description));
        const iovec &archive = slots[expected[i].slot];
        EXPECT_EQ(events[i].digest(fakefw::HashAlg::Sha256), sha256(archive.iov_base, archive.iov_len));
    }
    EXPECT_EQ(parameters, 1);
    EXPECT_EQ(sysext, 1);
    EXPECT_EQ(confext, 1);
}

TEST_F(Assembly, WithoutSidecarsTheSlotsStayEmptyAndTheFlagsAreZero) {
    InitrdSlots slots;
    sidecars(slots);
    for (size_t i = INITRD_SLOT_CREDENTIALS; i <= INITRD_SLOT_CONFEXT; i++)
        EXPECT_FALSE(iovec_is_set(slots[i])) << i;
    EXPECT_EQ(parameters, 0);
    EXPECT_EQ(sysext, 0);
    EXPECT_EQ(confext, 0);
    EXPECT_TRUE(tpm.calls().empty());
}

TEST_F(Assembly, AFailedSidecarPassLeavesItsSlotEmptyAndOnlyItsOwnFlag) {
    add_sidecars();
    // The credentials pass fails: its flag is not merged, so the global pass decides alone.
    tpm.fail_hash_log_extend_event(EFI_DEVICE_ERROR, 0, 1);
    InitrdSlots first;
    sidecars(first);
    EXPECT_FALSE(iovec_is_set(first[INITRD_SLOT_CREDENTIALS]));
    EXPECT_TRUE(iovec_is_set(first[INITRD_SLOT_GLOBAL_CREDENTIALS]));
    EXPECT_EQ(parameters, 1);
    EXPECT_EQ(sysext, 1);

    // The system extension pass fails.
    tpm.fail_hash_log_extend_event(EFI_DEVICE_ERROR, 2, 1);
    parameters = -1;
    InitrdSlots second;
    sidecars(second);
    EXPECT_FALSE(iovec_is_set(second[INITRD_SLOT_SYSEXT]));
    EXPECT_TRUE(iovec_is_set(second[INITRD_SLOT_CONFEXT]));
    EXPECT_EQ(sysext, -1);
    EXPECT_EQ(confext, 1);
    EXPECT_EQ(parameters, 1);
    std::string console = fw.console().text();
    EXPECT_NE(console.find("Unable to add cpio TPM measurement for PCR 12 (Credentials initrd), ignoring: Device error"),
              std::string::npos)
        << console;
    EXPECT_NE(console.find("Unable to add cpio TPM measurement for PCR 13 (System extension initrd), ignoring: "
                           "Device error"),
              std::string::npos)
        << console;
}

TEST_F(Assembly, EmbeddedSectionsBecomeUnmeasuredOneFileArchivesUnderExtra) {
    std::string osrel = "ID=korvane\n", profile = "ID=rescue\n", sig = "{\"sig\":1}", key = "KEY";
    std::string layout(0x5000, '\0');
    PeSectionSpan sections[IMAGE_SECTION_COUNT] = {};
    const std::pair<ImageSection, const std::string *> present[] = {
        {SECTION_OSREL, &osrel}, {SECTION_PROFILE, &profile}, {SECTION_PCRSIG, &sig}, {SECTION_PCRPKEY, &key}};
    uint64_t at = 0x1000;
    for (auto [section, data] : present) {
        layout.replace(at, data->size(), *data);
        sections[section] = {.mem_size = data->size(), .mem_offset = at};
        at += 0x1000;
    }
    EFI_LOADED_IMAGE_PROTOCOL loaded = {.ImageBase = layout.data()};
    InitrdSlots slots;
    generate_embedded_initrds(&loaded, sections, slots);

    EXPECT_EQ(members(slots[INITRD_SLOT_PCRSIG]),
              (Strings{".extra 555 ", ".extra/tpm2-pcr-signature.json 444 " + sig}));
    EXPECT_EQ(members(slots[INITRD_SLOT_PCRPKEY]),
              (Strings{".extra 555 ", ".extra/tpm2-pcr-public-key.pem 444 " + key}));
    EXPECT_EQ(members(slots[INITRD_SLOT_OSREL]), (Strings{".extra 555 ", ".extra/os-release 444 " + osrel}));
    EXPECT_EQ(members(slots[INITRD_SLOT_PROFILE]), (Strings{".extra 555 ", ".extra/profile 444 " + profile}));
    EXPECT_TRUE(tpm.calls().empty());

    // Sections that are missing leave their slots empty.
    sections[SECTION_PCRSIG] = sections[SECTION_PROFILE] = {};
    InitrdSlots fewer;
    generate_embedded_initrds(&loaded, sections, fewer);
    EXPECT_FALSE(iovec_is_set(fewer[INITRD_SLOT_PCRSIG]));
    EXPECT_FALSE(iovec_is_set(fewer[INITRD_SLOT_PROFILE]));
    EXPECT_TRUE(iovec_is_set(fewer[INITRD_SLOT_OSREL]));
}

TEST_F(Assembly, PartsAreHandedOverInOrderAndAddonsMeasuredAsTaggedEvents) {
    esp.add_file(u"\\EFI\\Linux\\uki.efi.extra.d\\c.cred", "C");
    InitrdSlots slots;
    sidecars(slots);
    std::string osrel = "ID=x\n", profile = "ID=p\n", ucode = "UC", base(4097, 'b');
    std::string layout(0xa000, '\0');
    PeSectionSpan sections[IMAGE_SECTION_COUNT] = {};
    uint64_t at = 0x1000;
    for (auto [section, data] : {std::pair{SECTION_OSREL, &osrel}, std::pair{SECTION_PROFILE, &profile},
                                 std::pair{SECTION_UCODE, &ucode}, std::pair{SECTION_INITRD, &base}}) {
        layout.replace(at, data->size(), *data);
        sections[section] = {.mem_size = data->size(), .mem_offset = at};
        at += 0x2000;
    }
    EFI_LOADED_IMAGE_PROTOCOL loaded = {.ImageBase = layout.data()};
    generate_embedded_initrds(&loaded, sections, slots);
    lookup_embedded_initrds(&loaded, sections, slots);

    NamedAddonList ucodes, initrds;
    append_addon(ucodes, u"A.addon.efi", "UA");
    append_addon(ucodes, u"B.addon.efi", "UB-");
    append_addon(ucodes, u"E.addon.efi", ""); // measured, but no part
    append_addon(initrds, u"X.addon.efi", "IX");
    append_addon(initrds, u"Y.addon.efi", "IY");

    size_t sidecar_events = tpm.events().size();
    parameters = -1;
    InitrdList list;
    measure_and_append_ucode_addons(list, ucodes, &parameters);
    append_initrd_slots(slots, list);
    measure_and_append_initrd_addons(list, initrds, &parameters);
    EXPECT_EQ(parameters, 1);

    std::vector<const void *> expected = {ucodes[1].data.iov_base,
                                          ucodes[0].data.iov_base,
                                          layout.data() + sections[SECTION_UCODE].mem_offset,
                                          layout.data() + sections[SECTION_INITRD].mem_offset,
                                          slots[INITRD_SLOT_CREDENTIALS].iov_base,
                                          slots[INITRD_SLOT_OSREL].iov_base,
                                          slots[INITRD_SLOT_PROFILE].iov_base,
                                          initrds[0].data.iov_base,
                                          initrds[1].data.iov_base};
    std::vector<const void *> got;
    for (size_t i = 0; i < list.size(); i++)
        got.push_back(list[i].iov_base);
    EXPECT_EQ(got, expected);

    // Microcode last add-on first, then the initrd add-ons in order, all PCR 12.
    const struct {
        const NamedAddon *addon;
        uint32_t tag;
    } measured[] = {{&ucodes[2], 0xDAC08E1A}, {&ucodes[1], 0xDAC08E1A}, {&ucodes[0], 0xDAC08E1A},
                    {&initrds[0], 0x49DFFE0F}, {&initrds[1], 0x49DFFE0F}};
    std::vector<fakefw::LoggedEvent> events = tpm.events();
    ASSERT_EQ(events.size(), sidecar_events + std::size(measured));
    for (size_t i = 0; i < std::size(measured); i++) {
        SCOPED_TRACE(i);
        const fakefw::LoggedEvent &e = events[sidecar_events + i];
        EXPECT_EQ(e.index, 12u);
        EXPECT_EQ(e.type, EV_EVENT_TAG);
        EXPECT_EQ(e.data, tagged_event_data(measured[i].tag, measured[i].addon->file_name));
        EXPECT_EQ(e.digest(fakefw::HashAlg::Sha256),
                  sha256(measured[i].addon->data.iov_base, measured[i].addon->data.iov_len));
    }

    // Combined: every part zero-filled to 4 bytes, in one allocation below 4 GiB.
    std::string want;
    for (size_t i = 0; i < list.size(); i++) {
        want += text(list[i]);
        want.resize((want.size() + 3) / 4 * 4, '\0');
    }
    Pages pages;
    size_t size = 0;
    ASSERT_EQ(combine_initrds(list, &pages, &size), EFI_SUCCESS);
    EXPECT_EQ(size, want.size());
    EXPECT_EQ(bytes(pages.ptr(), size), want);
    EXPECT_EQ(pages.n_pages(), (want.size() + 4095) / 4096);
    EXPECT_LE(pages.addr() + pages.n_pages() * 4096, 0x100000000ULL);
}

TEST_F(Assembly, AnAddonWhoseMeasurementFailsIsStillHandedOverAndLowersTheFlag) {
    NamedAddonList initrds;
    append_addon(initrds, u"X.addon.efi", "IX");
    append_addon(initrds, u"Y.addon.efi", "IY");
    tpm.fail_hash_log_extend_event(EFI_DEVICE_ERROR, 1, 1);
    InitrdList list;
    measure_and_append_initrd_addons(list, initrds, &parameters);
    EXPECT_EQ(parameters, 0);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(text(list[1]), "IY");
}

namespace {

// The initrd steps as the boot takes them, with the sidecar archives packed into the combined
// initrd when `in_place`: the combined bytes ("" when they could not be combined), the digests
// measured, the bytes CopyMem moved to combine, the pages live once the slots are released.
struct Assembled {
    std::string combined;
    std::vector<Bytes> digests;
    uint64_t copied = 0;
    size_t live_pages = 0;
};

class InPlace : public Assembly {
protected:
    Assembled assemble(EFI_LOADED_IMAGE_PROTOCOL &loaded, const PeSectionSpan *sections, bool in_place) {
        NamedAddonList ucodes, initrds;
        append_addon(ucodes, u"A.addon.efi", "UA");
        append_addon(initrds, u"X.addon.efi", "IXX");
        InitrdSlots slots;
        generate_embedded_initrds(&loaded, sections, slots);
        lookup_embedded_initrds(&loaded, sections, slots);
        Pages pages;
        CombinedInitrd room = {&pages, 0, 0};
        EXPECT_TRUE(plan_combined_initrd(slots, ucodes, initrds, &room));
        int parameters = -1, sysext = -1, confext = -1;
        size_t events_before = tpm.events().size();
        generate_sidecar_initrds(&image, slots, {&parameters, &sysext, &confext}, in_place ? &room : nullptr);
        InitrdList list;
        measure_and_append_ucode_addons(list, ucodes, &parameters);
        append_initrd_slots(slots, list);
        measure_and_append_initrd_addons(list, initrds, &parameters);

        Assembled out;
        for (size_t i = events_before; i < tpm.events().size(); i++)
            out.digests.push_back(tpm.events()[i].digest(fakefw::HashAlg::Sha256));
        fw.memory().reset_counters();
        size_t size = 0;
        if (combine_initrds(list, &pages, &size) == EFI_SUCCESS)
            out.combined = bytes(pages.ptr(), size);
        out.copied = fw.memory().copied_bytes();
        slots.free_owned();
        out.live_pages = fw.memory().live_pages_count();
        return out;
    }
};

} // namespace

// Packed straight into the combined initrd, the archives are the same bytes in the same place
// and measured alike, and are never copied; when the firmware has no pages for the whole
// initrd up front, each archive gets its own as before.
TEST_F(InPlace, SidecarArchivesArePackedStraightIntoTheCombinedInitrd) {
    add_sidecars();
    esp.add_file(u"\\EFI\\Linux\\uki.efi.extra.d\\big.raw", std::string(48 * 1024, 'B'));
    std::string osrel = "ID=x\n", ucode = "UC", base(16 * 1024 + 1, 'b');
    std::string layout(0x10000, '\0');
    PeSectionSpan sections[IMAGE_SECTION_COUNT] = {};
    uint64_t at = 0x1000;
    for (auto [section, data] :
         {std::pair{SECTION_OSREL, &osrel}, std::pair{SECTION_UCODE, &ucode}, std::pair{SECTION_INITRD, &base}}) {
        layout.replace(at, data->size(), *data);
        sections[section] = {.mem_size = data->size(), .mem_offset = at};
        at += 0x2000;
    }
    EFI_LOADED_IMAGE_PROTOCOL loaded = {.ImageBase = layout.data()};

    Assembled apart = assemble(loaded, sections, false);
    Assembled in_place = assemble(loaded, sections, true);
    ASSERT_GT(apart.combined.size(), 48u * 1024);
    EXPECT_EQ(in_place.combined, apart.combined);
    EXPECT_EQ(in_place.digests, apart.digests);
    // Only the parts around the archives are copied: the add-ons, ucode, base and os-release.
    EXPECT_GT(apart.copied, 64u * 1024);
    EXPECT_LT(in_place.copied, 20u * 1024);
    EXPECT_EQ(in_place.live_pages, 1u);
    EXPECT_EQ(apart.live_pages, 1u);

    fw.memory().limit_allocations(56 * 1024);
    Assembled fallback = assemble(loaded, sections, true);
    EXPECT_EQ(fallback.combined, "");
    EXPECT_EQ(fallback.digests, apart.digests);
    EXPECT_EQ(fallback.live_pages, 0u);
}
