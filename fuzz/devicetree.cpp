// Devicetree blobs: the image's ".dtb"/".dtbauto" sections and add-on blobs. The root
// "compatible" found must lie inside the blob with its NUL; matching agrees with it; and a
// blob installed as the firmware's table and restored leaves nothing behind.
#include "support.h"

#include <cstring>

#include "boot/config-table.h"
#include "boot/devicetree.h"
#include "boot/efi/devicetree.h"
#include "fakefw/dt-fixup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t flags = in.byte();
    fuzz::Bytes wanted = in.part();
    wanted.push_back(0);
    fuzz::Bytes blob = in.rest();
    fuzz::with_firmware([&](fakefw::Firmware &fw) {
        fakefw::DtFixup fixup(fw);
        if (flags & 1)
            fixup.install();
        if (flags & 2)
            fixup.require_size(blob.size() + 5000);
        // malloc aligns the blob as a section is.
        fuzz::Exact exact(blob);
        uint8_t *b = exact.data();
        const char *compatible = reinterpret_cast<const char *>(wanted.data());

        EFI_STATUS match = korvane::devicetree_match_by_compatible(b, blob.size(), compatible);
        FUZZ_CHECK(match == EFI_SUCCESS || match == EFI_NOT_FOUND || match == EFI_INVALID_PARAMETER);
        if (match != EFI_INVALID_PARAMETER) {
            // Only a blob whose size was checked may be asked for its compatible directly.
            const char *own = korvane::devicetree_get_compatible(b);
            FUZZ_CHECK(own && fuzz::inside(own, strnlen(own, blob.size()) + 1, b, blob.size()));
            FUZZ_CHECK((match == EFI_SUCCESS) == (strcmp(own, compatible) == 0));
        }

        if (!blob.empty()) {
            korvane::DtInstallState state = {};
            EFI_STATUS err = korvane::devicetree_install_from_memory(&state, b, blob.size());
            if (err == EFI_SUCCESS)
                FUZZ_CHECK(memcmp(korvane::find_configuration_table(EFI_DTB_TABLE_GUID), b, blob.size()) == 0 ||
                           (flags & 1));
            korvane::devicetree_restore(&state);
            FUZZ_CHECK(!korvane::find_configuration_table(EFI_DTB_TABLE_GUID));
        }
    });
    return 0;
}
