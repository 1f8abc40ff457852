// The kernel's PE headers and its ".compat" table, read straight from the ".linux" section
// before anything is trusted. A compatibility entry point reported must come from a type-1
// entry for x86-64 that lies wholly inside the section.
#include "support.h"

#include <cstring>

#include "boot/pe.h"

namespace {

// Whether the bytes hold an entry {1, size >= 8, 0x8664, entry point}.
bool holds_compat_entry(const uint8_t *p, size_t n, uint32_t entry_point) {
    for (size_t i = 0; i + 8 <= n; i++)
        if (p[i] == 1 && p[i + 1] >= 8 && p[i + 2] == 0x64 && p[i + 3] == 0x86 &&
            (p[i + 4] | p[i + 5] << 8 | p[i + 6] << 16 | uint32_t(p[i + 7]) << 24) == entry_point)
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::with_firmware([&](fakefw::Firmware &) {
        fuzz::Exact exact(fuzz::Bytes(data, data + size));
        uint8_t *kernel = exact.data();
        uint32_t compat = 0xdeadbeef, in_memory = 0;
        EFI_STATUS err = korvane::inspect_kernel_image(kernel, size, &compat, &in_memory);
        FUZZ_CHECK(err == EFI_SUCCESS || err == EFI_UNSUPPORTED || err == EFI_LOAD_ERROR);
        if (err != EFI_LOAD_ERROR) {
            uint32_t lfanew = kernel[60] | kernel[61] << 8 | kernel[62] << 16 | uint32_t(kernel[63]) << 24;
            uint16_t machine = kernel[lfanew + 4] | kernel[lfanew + 5] << 8;
            FUZZ_CHECK(machine == 0x8664 || machine == 0);
            FUZZ_CHECK(compat == 0 || (machine == 0 && err == EFI_SUCCESS && holds_compat_entry(kernel, size, compat)));
            FUZZ_CHECK(!(machine == 0 && err == EFI_SUCCESS) || compat != 0);
        }
    });
    return 0;
}
