// An add-on's (or the image's own) PE headers and section table, read as the firmware mapped
// them, with the base and profile lookups and the choice of a ".dtbauto" blob by the firmware's
// devicetree or by the ".hwids" table and an SMBIOS identity. Every section found lies inside
// the image; a ".dtbauto" chosen by the firmware's devicetree has the same root compatible.
#include "support.h"

#include <cstring>

#include "boot/chid.h"
#include "boot/devicetree.h"
#include "boot/efi/devicetree.h"
#include "boot/pe.h"
#include "unit/fdt-builder.h"
#include "unit/smbios-tables.h"

namespace {

enum Flags : uint8_t { FIRMWARE_DT = 1, SMBIOS = 2 };

constexpr const char *FIRMWARE_COMPATIBLE = "acme,board-a";

void check_inside(const korvane::PeSectionSpan *sections, size_t image_size) {
    for (size_t i = 0; i < korvane::IMAGE_SECTION_COUNT; i++)
        if (sections[i].mem_size != 0)
            FUZZ_CHECK(sections[i].mem_offset <= image_size && sections[i].mem_size <= image_size - sections[i].mem_offset);
}

void check_dtbauto(const korvane::PeSectionSpan *sections, const uint8_t *image, uint8_t flags) {
    const korvane::PeSectionSpan &dtbauto = sections[korvane::SECTION_DTBAUTO];
    if (dtbauto.mem_size == 0 || !(flags & FIRMWARE_DT))
        return;
    FUZZ_CHECK(korvane::devicetree_match_by_compatible(image + dtbauto.mem_offset, dtbauto.mem_size,
                                                      FIRMWARE_COMPATIBLE) == EFI_SUCCESS);
}

fuzz::Bytes firmware_devicetree() {
    fdttest::Fdt fdt;
    fdt.begin_node("").prop("compatible", std::string(FIRMWARE_COMPATIBLE) + '\0').end_node().end();
    return fdt.build();
}

fuzz::Bytes identity() {
    return smbiostest::concat({smbiostest::system_information(1, 2, 3, 4, {"ACME", "Board A", "A-1", "Boards"}),
                               smbiostest::baseboard(1, 2, {"ACME", "A"}), smbiostest::end_of_table()});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t flags = in.byte();
    uint32_t profile = in.byte() % 4;
    fuzz::Bytes image = in.rest();
    if (image.empty())
        return 0;
    static const fuzz::Bytes dt = firmware_devicetree();
    static const fuzz::Bytes smbios = identity();

    fuzz::with_firmware([&](fakefw::Firmware &fw) {
        smbiostest::Tables tables(fw);
        if (flags & SMBIOS)
            tables.add3(smbios);
        if (flags & FIRMWARE_DT)
            fw.config_tables().add(EFI_DTB_TABLE_GUID, const_cast<uint8_t *>(dt.data()));
        // Exactly the image, as the firmware mapped it.
        fuzz::Exact exact(image);
        uint8_t *base = exact.data();

        korvane::PeSectionSpan sections[korvane::IMAGE_SECTION_COUNT] = {};
        EFI_STATUS err = korvane::pe_memory_locate_sections(base, image.size(), korvane::image_section_names, sections);
        FUZZ_CHECK(err == EFI_SUCCESS || err == EFI_LOAD_ERROR);
        check_inside(sections, image.size());
        check_dtbauto(sections, base, flags);

        size_t n = 0;
        const korvane::PeSectionHeader *table = korvane::pe_section_table_from_base(base, image.size(), &n);
        FUZZ_CHECK(!table == (err == EFI_LOAD_ERROR));
        if (table) {
            FUZZ_CHECK(fuzz::inside(table, n * sizeof(*table), base, image.size()));
            korvane::PeSectionSpan merged[korvane::IMAGE_SECTION_COUNT] = {};
            auto b = reinterpret_cast<uintptr_t>(base);
            FUZZ_CHECK(korvane::pe_locate_profile_sections(table, n, korvane::PROFILE_BASE, b, merged) ==
                       EFI_SUCCESS);
            err = korvane::pe_locate_profile_sections(table, n, profile, b, merged);
            FUZZ_CHECK(err == EFI_SUCCESS || err == EFI_NOT_FOUND);
            check_inside(merged, image.size());
            check_dtbauto(merged, base, flags);
        }
    });
    return 0;
}
