// The firmware's SMBIOS table (2.x or 3.x entry point) walked for the first structure of a
// type, its numbered strings, the OEM string that extends the command line and the machine's
// identity. Whatever is returned lies inside the table, NUL included.
#include "support.h"

#include <cstring>

#include "boot/smbios.h"
#include "boot/stub-cmdline.h"
#include "fakefw/fake-cpu.h"
#include "unit/smbios-tables.h"

namespace {

struct Table {
    const uint8_t *start;
    size_t size;
};

void check_string(const char *s, const Table &t) {
    if (s)
        FUZZ_CHECK(fuzz::inside(s, strnlen(s, t.size) + 1, t.start, t.size));
}

void check_structure(uint8_t type, size_t min_length, const Table &t) {
    size_t left = 0;
    const korvane::SmbiosHeader *h = korvane::smbios_find_structure(type, min_length, &left);
    if (!h) {
        FUZZ_CHECK(left == 0);
        return;
    }
    FUZZ_CHECK(fuzz::inside(h, left, t.start, t.size) && h == static_cast<const void *>(t.start + t.size - left));
    FUZZ_CHECK(h->type == type && h->length >= min_length && h->length <= left);
    for (uint8_t number : {0, 1, 2, 3, 7, 255})
        check_string(korvane::smbios_get_string(h, number, left), t);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t flags = in.byte();
    uint8_t type = in.byte();
    fuzz::Bytes table = in.rest();
    if (table.empty())
        return 0;
    if (!(flags & 1) && table.size() > 0xffff)
        table.resize(0xffff);
    fuzz::with_firmware([&](fakefw::Firmware &fw) {
        fakefw::FakeCpu cpu;
        smbiostest::Tables tables(fw);
        if (flags & 1)
            tables.add3(table);
        else
            tables.add2(table);
        Table t{tables.table(), table.size()};

        check_structure(korvane::SMBIOS_TYPE_SYSTEM_INFORMATION, 27, t);
        check_structure(korvane::SMBIOS_TYPE_BASEBOARD_INFORMATION, 8, t);
        check_structure(korvane::SMBIOS_TYPE_OEM_STRINGS, 5, t);
        check_structure(type, 4, t);

        const char *key = "io.korvane.stub.kernel-cmdline-extra";
        const char *value = korvane::smbios_find_oem_string(key);
        check_string(value, t);
        if (value)
            FUZZ_CHECK(memcmp(value - strlen(key) - 1, key, strlen(key)) == 0 && value[-1] == '=');

        const korvane::SmbiosIdentityCache *id = korvane::smbios_identity_get();
        for (const char *s : {id->manufacturer, id->product_name, id->product_sku, id->family,
                              id->baseboard_manufacturer, id->baseboard_product})
            check_string(s, t);

        korvane::PoolPtr<char16_t> cmdline;
        int measured = -1;
        korvane::cmdline_append_smbios(&cmdline, &measured);
        if (cmdline)
            FUZZ_CHECK(value && cmdline[0] > 0x20);
    });
    return 0;
}
