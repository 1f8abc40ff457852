// Every GUID the stub looks for, against its text in the standard that defines it: a wrong
// byte would make the stub miss a protocol or table without any test of behaviour noticing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "boot/efi/block-io.h"
#include "boot/efi/cc-measurement.h"
#include "boot/efi/console-control.h"
#include "boot/efi/device-path-to-text.h"
#include "boot/efi/device-path.h"
#include "boot/efi/devicetree.h"
#include "boot/efi/global-variable.h"
#include "boot/efi/graphics-output.h"
#include "boot/efi/load-file.h"
#include "boot/efi/loaded-image.h"
#include "boot/efi/rng.h"
#include "boot/efi/security-arch.h"
#include "boot/efi/shell-parameters.h"
#include "boot/efi/shim-lock.h"
#include "boot/efi/simple-file-system.h"
#include "boot/efi/simple-text-output.h"
#include "boot/efi/smbios.h"
#include "boot/efi/tcg2.h"
#include "boot/efivars.h"
#include "boot/initrd.h"
#include "boot/linux.h"
#include "boot/part-discovery.h"
#include "boot/random-seed.h"

namespace {

// The text form's first three fields are little-endian numbers in memory, the last two a
// plain byte string.
std::string text_of(const EFI_GUID &g) {
    uint8_t b[16];
    std::memcpy(b, &g, sizeof b);
    char out[37];
    std::snprintf(out, sizeof out, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[3], b[2],
                  b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return out;
}

struct Known {
    const char *name;
    const EFI_GUID &guid;
    const char *text;
};

#define KNOWN(g, t) {#g, g, t}
const Known known[] = {
    KNOWN(EFI_BLOCK_IO_PROTOCOL_GUID, "964e5b21-6459-11d2-8e39-00a0c969723b"),
    KNOWN(EFI_CC_MEASUREMENT_PROTOCOL_GUID, "96751a3d-72f4-41a6-a794-ed5d0e67ae6b"),
    KNOWN(EFI_CONSOLE_CONTROL_PROTOCOL_GUID, "f42f7782-012e-4c12-9956-49f94304f721"),
    KNOWN(EFI_DEVICE_PATH_PROTOCOL_GUID, "09576e91-6d3f-11d2-8e39-00a0c969723b"),
    KNOWN(EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID, "8b843e20-8132-4852-90cc-551a4e4a7f1c"),
    KNOWN(EFI_DTB_TABLE_GUID, "b1b621d5-f19c-41a5-830b-d9152c69aae0"),
    KNOWN(EFI_DT_FIXUP_PROTOCOL_GUID, "e617d64c-fe08-46da-f4dc-bbd5870c7300"),
    KNOWN(EFI_FILE_INFO_ID, "09576e92-6d3f-11d2-8e39-00a0c969723b"),
    KNOWN(EFI_GLOBAL_VARIABLE, "8be4df61-93ca-11d2-aa0d-00e098032b8c"),
    KNOWN(EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID, "9042a9de-23dc-4a38-96fb-7aded080516a"),
    KNOWN(EFI_LOADED_IMAGE_PROTOCOL_GUID, "5b1b31a1-9562-11d2-8e3f-00a0c969723b"),
    KNOWN(EFI_LOAD_FILE2_PROTOCOL_GUID, "4006c0c1-fcb3-403e-996d-4a6c8724e06d"),
    KNOWN(EFI_RNG_PROTOCOL_GUID, "3152bca5-eade-433d-862e-c01cdc291f44"),
    KNOWN(EFI_SECURITY2_ARCH_PROTOCOL_GUID, "94ab2f58-1438-4ef1-9152-18941a3a0e68"),
    KNOWN(EFI_SECURITY_ARCH_PROTOCOL_GUID, "a46423e3-4617-49f1-b9ff-d1bfa9115839"),
    KNOWN(EFI_SHELL_PARAMETERS_PROTOCOL_GUID, "752f3136-4e16-4fdc-a22a-e5f46812f4ca"),
    KNOWN(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID, "964e5b22-6459-11d2-8e39-00a0c969723b"),
    KNOWN(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL_GUID, "387477c2-69c7-11d2-8e39-00a0c969723b"),
    KNOWN(EFI_TCG2_PROTOCOL_GUID, "607f766c-7455-42be-930b-e4d76db2720f"),
    KNOWN(SHIM_LOCK_PROTOCOL_GUID, "605dab50-e046-4300-abb6-3dd810dd8b23"),
    KNOWN(SMBIOS_TABLE_GUID, "eb9d2d31-2d88-11d3-9a16-0090273fc14d"),
    KNOWN(SMBIOS3_TABLE_GUID, "f2fd1544-9794-4a2c-992e-e5bbcf20e394"),
    KNOWN(korvane::ESP_PARTITION_TYPE_GUID, "c12a7328-f81f-11d2-ba4b-00a0c93ec93b"),
    KNOWN(korvane::KERNEL_PAYLOAD_VENDOR_GUID, "55c5d1f8-04cd-46b5-8a20-e56cbb3052d0"),
    KNOWN(korvane::LINUX_EFI_INITRD_MEDIA_GUID, "5568e427-68fc-4f3d-ac74-ca555231cc68"),
    KNOWN(korvane::LINUX_EFI_RANDOM_SEED_TABLE_GUID, "1ce1e5bc-7ceb-42f2-81e5-8aadf180f57b"),
    KNOWN(korvane::LOADER_VENDOR_GUID, "4a67b082-0a4c-41cf-b6c7-440b29bb8c4f"),
};
#undef KNOWN

} // namespace

TEST(Guids, EachIsTheOneItsStandardNames) {
    for (const Known &k : known)
        EXPECT_EQ(text_of(k.guid), k.text) << k.name;
}
