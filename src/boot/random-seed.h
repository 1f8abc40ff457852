// The random seed handed to the kernel through the Linux EFI random seed table, derived from
// every source of entropy the stub can reach, and the seed file on the ESP that carries
// entropy from boot to boot. The file is always rewritten, with a different value, before the
// kernel gets its seed. Every secret is wiped before its memory is released.
#pragma once

#include "efi/efi.h"
#include "efi/loaded-image.h"
#include "efi/simple-file-system.h"

namespace korvane {

constexpr EFI_GUID LINUX_EFI_RANDOM_SEED_TABLE_GUID = {
    0x1ce1e5bc, 0x7ceb, 0x42f2, {0x81, 0xe5, 0x8a, 0xad, 0xf1, 0x80, 0xf5, 0x7b}};

constexpr size_t RANDOM_SEED_SIZE = 32;
constexpr size_t RANDOM_SEED_FILE_MAX = 32768;
// LoaderFeatures bit: the boot loader has refreshed the seed already.
constexpr uint64_t LOADER_FEATURE_RANDOM_SEED = UINT64_C(1) << 6;

// The table as Linux reads it: the seed's size, then the seed.
struct LinuxRandomSeedTable {
    UINT32 size;
    UINT8 seed[];
};
static_assert(sizeof(LinuxRandomSeedTable) == 4);

// Does everything on the ESP of the disk the image was loaded from; failures are logged.
void refresh_random_seed(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image);

// The whole refresh with "\loader\random-seed" below `root_dir`.
EFI_STATUS process_random_seed(EFI_FILE_PROTOCOL *root_dir);

// 32 bytes from the firmware's RNG; false (and a warning for unexpected errors) without them.
bool acquire_rng(uint8_t *buffer, size_t size);

// "LoaderSystemToken" in a new pool buffer, or null (with a message for unexpected errors).
void acquire_system_token(void **ret, size_t *ret_size);

} // namespace korvane
