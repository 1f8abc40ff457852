#include <gtest/gtest.h>

#include <cstring>

#include "boot/pe.h"
#include "fakefw/fakefw.h"
#include "support/pe-builder.h"

using namespace korvane;
using testsupport::build_pe;
using testsupport::bytes_of;
using testsupport::PeImageSpec;

namespace {

const PeSectionHeader *table_of(const std::vector<uint8_t> &image, size_t *n) {
    return pe_section_table_from_base(image.data(), image.size(), n);
}

uintptr_t base_of(const std::vector<uint8_t> &image) { return reinterpret_cast<uintptr_t>(image.data()); }

const char *const cmdline_and_linux[] = {".cmdline", ".linux", nullptr};

} // namespace

TEST(PeSectionName, MatchesUpToTheFirstNulOrAllEightBytes) {
    EXPECT_TRUE(pe_section_name_equal(".linux\0\0", ".linux"));
    EXPECT_FALSE(pe_section_name_equal(".linuxx\0", ".linux"));
    EXPECT_FALSE(pe_section_name_equal(".linu\0\0\0", ".linux"));
    EXPECT_TRUE(pe_section_name_equal(".profile", ".profile"));
    EXPECT_TRUE(pe_section_name_equal(".cmdline", ".cmdline"));
    EXPECT_FALSE(pe_section_name_equal(".cmdlin\0\0", ".cmdline"));
}

TEST(PeLocate, FirstOfTwoEqualNamesWinsAndUnknownNamesStayZero) {
    auto image = build_pe({.sections = {{".text", {1}}, {".cmdline", bytes_of("first")}, {".cmdline", bytes_of("second!")}}});
    size_t n = 0;
    const PeSectionHeader *table = table_of(image, &n);
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(n, 3u);
    PeSectionSpan out[2] = {};
    pe_locate_sections(table, n, cmdline_and_linux, base_of(image), out);
    EXPECT_EQ(out[0].mem_size, 5u);
    EXPECT_EQ(std::memcmp(image.data() + out[0].mem_offset, "first", 5), 0);
    EXPECT_EQ(out[1].mem_size, 0u);
    EXPECT_EQ(out[1].mem_offset, 0u);
    EXPECT_EQ(out[1].raw_offset, 0u);
}

TEST(PeLocate, RecordsRawSizeAsTheSmallerOfBothSizesAndKeepsUntouchedSlots) {
    auto image = build_pe({.sections = {{".linux", bytes_of("kernel"), 0x3000, 0x200}, {".cmdline", {}, 0, 0x200}}});
    size_t n = 0;
    const PeSectionHeader *table = table_of(image, &n);
    PeSectionSpan out[2] = {};
    out[0] = {.mem_size = 99, .mem_offset = 7};
    pe_locate_sections(table, n, cmdline_and_linux, base_of(image), out);
    // A section of VirtualSize 0 is recorded, and reads as absent.
    EXPECT_EQ(out[0].mem_size, 0u);
    EXPECT_NE(out[0].raw_offset, 0u);
    EXPECT_EQ(out[1].mem_size, 0x3000u);
    EXPECT_EQ(out[1].raw_size, 0x200u);
    EXPECT_EQ(out[1].raw_offset, table[0].PointerToRawData);

    PeSectionSpan kept[2] = {{.mem_size = 1, .mem_offset = 2, .raw_size = 3, .raw_offset = 4}, {}};
    const char *const only_osrel[] = {".osrel", nullptr};
    pe_locate_sections(table, n, only_osrel, base_of(image), kept);
    EXPECT_EQ(kept[0].raw_offset, 4u);
}

TEST(PeHeaderWalk, HeadersOrSectionsOutsideTheImageMakeItUnusable) {
    auto image = build_pe({.sections = {{".linux", {1}}, {".cmdline", bytes_of("x")}}});
    size_t n = 0;
    EXPECT_NE(pe_section_table_from_base(image.data(), image.size(), &n), nullptr);
    // Cut one byte before the end of its section table, or before the second section's byte.
    EXPECT_EQ(pe_section_table_from_base(image.data(), 0x80 + 24 + 240 + 2 * 40 - 1, &n), nullptr);
    PeSectionSpan out[2] = {};
    EXPECT_EQ(pe_memory_locate_sections(image.data(), 2 * testsupport::PE_BUILDER_PAGE, cmdline_and_linux, out),
              EFI_LOAD_ERROR);
}

TEST(PeHeaderWalk, RequiresMzAndAPeHeaderAtLeast64BytesIn) {
    size_t n = 0;
    auto at64 = build_pe({.e_lfanew = 64, .sections = {{".linux", {1}}}});
    EXPECT_NE(table_of(at64, &n), nullptr);
    EXPECT_EQ(n, 1u);

    auto at63 = at64;
    at63[0x3c] = 63;
    EXPECT_EQ(table_of(at63, &n), nullptr);
    PeSectionSpan out[1] = {};
    EXPECT_EQ(pe_memory_locate_sections(at63.data(), at63.size(), cmdline_and_linux + 1, out), EFI_LOAD_ERROR);
    EXPECT_EQ(pe_memory_locate_sections(at64.data(), at64.size(), cmdline_and_linux + 1, out), EFI_SUCCESS);
    EXPECT_EQ(out[0].mem_size, 1u);

    auto no_mz = at64;
    no_mz[1] = 'X';
    EXPECT_EQ(table_of(no_mz, &n), nullptr);
    // The stub's own image and add-ons must be native: no compatibility machine type.
    EXPECT_EQ(table_of(build_pe({.machine = 0, .sections = {{".linux", {1}}}}), &n), nullptr);
}

TEST(VerifyPe, ChecksSignatureMachineSectionCountAndMagicOnly) {
    auto check = [](PeImageSpec spec, bool compat) {
        auto image = build_pe(spec);
        return verify_pe(image.data(), image.data() + spec.e_lfanew, compat);
    };
    PeImageSpec good{.sections = {{".text", {1}}}};
    EXPECT_TRUE(check(good, false));
    EXPECT_TRUE(check({.magic = 0x10b, .sections = {{".text", {1}}}}, false));
    EXPECT_FALSE(check({.magic = 0x10c, .sections = {{".text", {1}}}}, false));
    EXPECT_FALSE(check({.number_of_sections = 0, .sections = {{".text", {1}}}}, false));
    EXPECT_FALSE(check({.machine = 0x014c, .sections = {{".text", {1}}}}, true));
    EXPECT_FALSE(check({.machine = 0, .sections = {{".text", {1}}}}, false));
    EXPECT_TRUE(check({.machine = 0, .sections = {{".text", {1}}}}, true));

    auto image = build_pe(good);
    image[good.e_lfanew + 2] = 'X';
    EXPECT_FALSE(verify_pe(image.data(), image.data() + good.e_lfanew, false));
}

namespace {

struct Inspection {
    EFI_STATUS status;
    uint32_t entry;
    uint32_t size_in_memory;
};

Inspection inspect(const std::vector<uint8_t> &kernel, size_t size = SIZE_MAX) {
    Inspection r = {0, 0xdeadbeef, 0};
    r.status = inspect_kernel_image(kernel.data(), size == SIZE_MAX ? kernel.size() : size, &r.entry,
                                    &r.size_in_memory);
    return r;
}

std::vector<uint8_t> compat_entry(uint8_t type, uint8_t size, uint16_t machine, uint32_t entry) {
    std::vector<uint8_t> e(size < 8 ? 8 : size);
    e[0] = type;
    e[1] = size;
    std::memcpy(&e[2], &machine, 2);
    std::memcpy(&e[4], &entry, 4);
    // An entry claiming size 0 still occupies its 8 bytes in the table.
    e.resize(size == 0 ? 8 : size);
    return e;
}

std::vector<uint8_t> compat_kernel(std::vector<std::vector<uint8_t>> entries) {
    std::vector<uint8_t> compat;
    for (auto &e : entries)
        compat.insert(compat.end(), e.begin(), e.end());
    return build_pe({.machine = 0, .sections = {{".text", {1}}, {".compat", compat}}});
}

} // namespace

TEST(InspectKernel, ChoosesTheLaunchRoad) {
    auto native = build_pe({.sections = {{".text", {1}}}});
    Inspection r = inspect(native);
    EXPECT_EQ(r.status, EFI_SUCCESS);
    EXPECT_EQ(r.entry, 0u);
    EXPECT_EQ(r.size_in_memory, native.size());

    // The image version is looked at before the machine type.
    EXPECT_EQ(inspect(build_pe({.major_image_version = 0, .sections = {{".text", {1}}}})).status, EFI_UNSUPPORTED);
    EXPECT_EQ(inspect(build_pe({.machine = 0x014c, .sections = {{".text", {1}}}})).status, EFI_LOAD_ERROR);
    auto at64 = build_pe({.e_lfanew = 64, .sections = {{".text", {1}}}});
    EXPECT_EQ(inspect(at64).status, EFI_SUCCESS);
    at64[0x3c] = 63;
    EXPECT_EQ(inspect(at64).status, EFI_LOAD_ERROR);

    std::vector<uint8_t> not_mz = native;
    not_mz[0] = 'X';
    EXPECT_EQ(inspect(not_mz).status, EFI_LOAD_ERROR);
}

TEST(InspectKernel, StaysInsideATruncatedKernel) {
    auto native = build_pe({.sections = {{".text", {1}}}});
    EXPECT_EQ(inspect(native, 2).status, EFI_LOAD_ERROR);
    EXPECT_EQ(inspect(native, 0x80 + 24).status, EFI_LOAD_ERROR);

    // A .compat section claimed beyond the end of the buffer is not read.
    auto kernel = compat_kernel({compat_entry(1, 8, 0x8664, 0x1234)});
    size_t compat_start = 2 * testsupport::PE_BUILDER_PAGE;
    EXPECT_EQ(inspect(kernel, compat_start + 4).status, EFI_UNSUPPORTED);
    EXPECT_EQ(inspect(kernel, compat_start + 8).entry, 0x1234u);
}

TEST(InspectKernel, WalksTheCompatTable) {
    EXPECT_EQ(inspect(compat_kernel({compat_entry(1, 8, 0x8664, 0x1234)})).entry, 0x1234u);
    EXPECT_EQ(inspect(compat_kernel({compat_entry(1, 8, 0x8664, 0x1234)})).status, EFI_SUCCESS);
    EXPECT_EQ(inspect(compat_kernel({compat_entry(1, 8, 0x8664, 0)})).status, EFI_UNSUPPORTED);
    EXPECT_EQ(inspect(compat_kernel({})).status, EFI_UNSUPPORTED);

    // Other types, other machines and odd sizes are stepped over by their size.
    auto skipped = compat_kernel({compat_entry(2, 8, 0x8664, 0x1111), compat_entry(1, 8, 0x014c, 0x2222),
                                  compat_entry(5, 3, 0, 0), compat_entry(1, 12, 0x8664, 0x3333)});
    EXPECT_EQ(inspect(skipped).entry, 0x3333u);

    // A type-1 entry too short to hold an entry point is skipped, not read.
    EXPECT_EQ(inspect(compat_kernel({compat_entry(1, 4, 0x8664, 0), compat_entry(1, 8, 0x8664, 0x44)})).entry, 0x44u);

    // An entry larger than what remains, a zero type or size, and a short tail end the walk.
    EXPECT_EQ(inspect(compat_kernel({compat_entry(2, 200, 0, 0)})).status, EFI_UNSUPPORTED);
    EXPECT_EQ(inspect(compat_kernel({compat_entry(0, 8, 0x8664, 1), compat_entry(1, 8, 0x8664, 2)})).status,
              EFI_UNSUPPORTED);
    EXPECT_EQ(inspect(compat_kernel({compat_entry(2, 0, 0x8664, 1), compat_entry(1, 8, 0x8664, 2)})).status,
              EFI_UNSUPPORTED);
    EXPECT_EQ(inspect(compat_kernel({compat_entry(2, 9, 0, 0), compat_entry(1, 7, 0x8664, 2)})).status,
              EFI_UNSUPPORTED);
}

namespace {

// The sections a (base, profile) lookup pair yields for an image, as the stub does it.
struct ProfileLookup {
    EFI_STATUS base = EFI_SUCCESS, profile = EFI_SUCCESS;
    PeSectionSpan out[IMAGE_SECTION_COUNT] = {};
};

ProfileLookup lookup(const std::vector<uint8_t> &image, std::optional<uint32_t> profile) {
    ProfileLookup r;
    size_t n = 0;
    const PeSectionHeader *table = pe_section_table_from_base(image.data(), image.size(), &n);
    EXPECT_NE(table, nullptr);
    r.base = pe_locate_profile_sections(table, n, PROFILE_BASE, base_of(image), r.out);
    if (profile)
        r.profile = pe_locate_profile_sections(table, n, *profile, base_of(image), r.out);
    return r;
}

std::string text(const std::vector<uint8_t> &image, const PeSectionSpan &s) {
    return {reinterpret_cast<const char *>(image.data() + s.mem_offset), size_t(s.mem_size)};
}

} // namespace

class PeProfiles : public ::testing::Test {
protected:
    fakefw::Firmware fw;
};

TEST_F(PeProfiles, WithoutProfileHeadersTheBaseIsEverythingAndProfileZeroIsMissing) {
    auto image = build_pe({.sections = {{".linux", bytes_of("K")}, {".cmdline", bytes_of("base")}}});
    ProfileLookup r = lookup(image, 0);
    EXPECT_EQ(r.base, EFI_SUCCESS);
    EXPECT_EQ(r.profile, EFI_NOT_FOUND);
    EXPECT_EQ(text(image, r.out[SECTION_CMDLINE]), "base");
}

TEST_F(PeProfiles, ProfilesReplaceBaseKindsAndKeepTheRest) {
    auto image = build_pe({.sections = {
                               {".linux", bytes_of("base-kernel")},
                               {".cmdline", bytes_of("base")},
                               {".profile", bytes_of("ID=zero")},
                               {".cmdline", bytes_of("zero")},
                               {".cmdline", bytes_of("zero-again")},
                               {".profile", bytes_of("ID=one")},
                               {".linux", bytes_of("one-kernel")},
                               {".profile", bytes_of("ID=two")},
                           }});
    ProfileLookup zero = lookup(image, 0);
    EXPECT_EQ(zero.profile, EFI_SUCCESS);
    EXPECT_EQ(text(image, zero.out[SECTION_CMDLINE]), "zero");
    EXPECT_EQ(text(image, zero.out[SECTION_LINUX]), "base-kernel");
    EXPECT_EQ(text(image, zero.out[SECTION_PROFILE]), "ID=zero");

    ProfileLookup one = lookup(image, 1);
    EXPECT_EQ(text(image, one.out[SECTION_LINUX]), "one-kernel");
    EXPECT_EQ(text(image, one.out[SECTION_CMDLINE]), "base");

    // The last profile runs to the end of the table and may hold only its marker.
    ProfileLookup two = lookup(image, 2);
    EXPECT_EQ(two.profile, EFI_SUCCESS);
    EXPECT_EQ(text(image, two.out[SECTION_PROFILE]), "ID=two");
    EXPECT_EQ(text(image, two.out[SECTION_CMDLINE]), "base");

    EXPECT_EQ(lookup(image, 3).profile, EFI_NOT_FOUND);

    // The base alone never sees a profile's sections.
    ProfileLookup base = lookup(image, std::nullopt);
    EXPECT_EQ(base.out[SECTION_PROFILE].mem_size, 0u);
    EXPECT_EQ(text(image, base.out[SECTION_CMDLINE]), "base");
}

TEST_F(PeProfiles, LeadingAndConsecutiveProfileHeaders) {
    auto image = build_pe({.sections = {{".profile", bytes_of("A")},
                                        {".profile", bytes_of("B")},
                                        {".linux", bytes_of("K")},
                                        {".cmdline", bytes_of("b")}}});
    ProfileLookup base = lookup(image, std::nullopt);
    EXPECT_EQ(base.base, EFI_SUCCESS);
    for (const auto &s : base.out)
        EXPECT_EQ(s.mem_size, 0u);

    ProfileLookup a = lookup(image, 0);
    EXPECT_EQ(text(image, a.out[SECTION_PROFILE]), "A");
    EXPECT_EQ(a.out[SECTION_LINUX].mem_size, 0u);

    ProfileLookup b = lookup(image, 1);
    EXPECT_EQ(text(image, b.out[SECTION_LINUX]), "K");
    EXPECT_EQ(text(image, b.out[SECTION_CMDLINE]), "b");
}

TEST_F(PeProfiles, AnEmptyTableHasNoRanges) {
    PeSectionSpan out[IMAGE_SECTION_COUNT] = {};
    EXPECT_EQ(pe_locate_profile_sections(nullptr, 0, PROFILE_BASE, 0, out), EFI_NOT_FOUND);
    EXPECT_EQ(pe_locate_profile_sections(nullptr, 0, 0, 0, out), EFI_NOT_FOUND);
    EXPECT_NE(fakefw::expect_halt([&] { pe_locate_profile_sections(nullptr, 3, 0, 0, out); })
                  .find("Assertion 'section_table || n_section_table == 0' failed"),
              std::string::npos);
}
