// The random seed over a fuzzed seed file, an earlier stage's seed table, a system token and
// failing file operations. When a new table is installed it holds 32 bytes, the file was
// rewritten first (same size, zeros after the first 32 bytes) and the earlier table was wiped
// and freed; otherwise the earlier table stays as it was. Nothing secret is freed unwiped.
#include "support.h"

#include <algorithm>
#include <cstring>

#include "boot/efivars.h"
#include "boot/file-util.h"
#include "boot/random-seed.h"
#include "boot/util.h"

namespace {

enum Flags : uint8_t { RNG = 1, SECURE_BOOT = 2, TOKEN = 4, PREVIOUS = 8, FILE_EXISTS = 16, FAULT = 32, READ_ONLY = 64 };

constexpr size_t PREVIOUS_SEED_MAX = 1024;

korvane::LinuxRandomSeedTable *seed_table() {
    return static_cast<korvane::LinuxRandomSeedTable *>(
        fakefw::Firmware::active().config_tables().find(korvane::LINUX_EFI_RANDOM_SEED_TABLE_GUID));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t flags = in.byte();
    uint8_t fault = in.byte();
    uint32_t previous_size = in.u32();
    fuzz::Bytes previous_seed = in.part();
    fuzz::Bytes token = in.part();
    fuzz::Bytes file = in.rest();

    fuzz::with_firmware([&](fakefw::Firmware &fw) {
        fw.memory().keep_freed_pool();
        if (flags & RNG)
            fw.rng().install();
        fw.variables().set_secure_boot(flags & SECURE_BOOT);
        if (flags & TOKEN)
            fw.variables().set(korvane::LOADER_VENDOR_GUID, u"LoaderSystemToken", token);

        // An earlier stage's table: its allocation holds as much seed as its size field
        // claims, up to what anybody reads of it.
        korvane::LinuxRandomSeedTable *previous = nullptr;
        size_t previous_bytes = std::min<size_t>(previous_size, PREVIOUS_SEED_MAX);
        if (flags & PREVIOUS) {
            FUZZ_CHECK(fw.boot_services()->AllocatePool(EfiACPIReclaimMemory, 4 + previous_bytes,
                                                       reinterpret_cast<void **>(&previous)) == EFI_SUCCESS);
            previous->size = previous_size;
            for (size_t i = 0; i < previous_bytes; i++)
                previous->seed[i] = i < previous_seed.size() ? previous_seed[i] : 0x5a;
            fw.config_tables().add(korvane::LINUX_EFI_RANDOM_SEED_TABLE_GUID, previous);
        }

        fakefw::Volume &esp = fw.file_systems().add_volume();
        esp.add_directory(u"\\loader");
        fakefw::FileNode *seed_file = nullptr;
        if (flags & FILE_EXISTS) {
            seed_file = &esp.add_file(u"\\loader\\random-seed", file);
            if (flags & FAULT)
                seed_file->fail(fakefw::FileOp(fault % fakefw::FILE_OP_COUNT), EFI_DEVICE_ERROR, fault / 8 % 4);
        }
        esp.set_read_only(flags & READ_ONLY);

        {
            korvane::FileHandle root;
            FUZZ_CHECK(korvane::open_volume_root(esp.handle(), root.out()) == EFI_SUCCESS);
            (void)korvane::process_random_seed(root.get());
        }

        korvane::LinuxRandomSeedTable *now = seed_table();
        if (now != previous) {
            FUZZ_CHECK(now && now->size == 32 && fw.memory().pool_size(now) == 36);
            FUZZ_CHECK(seed_file && file.size() >= 32 && file.size() <= korvane::RANDOM_SEED_FILE_MAX);
            const fuzz::Bytes &rewritten = seed_file->contents();
            FUZZ_CHECK(rewritten.size() == file.size());
            FUZZ_CHECK(std::all_of(rewritten.begin() + 32, rewritten.end(), [](uint8_t b) { return b == 0; }));
            if (previous) {
                FUZZ_CHECK(!fw.memory().pool(previous));
                for (const fakefw::FreedPool &freed : fw.memory().freed_pool())
                    if (freed.address == previous)
                        FUZZ_CHECK(std::all_of(freed.bytes.begin(), freed.bytes.end(), [](uint8_t b) { return b == 0; }));
            }
            fw.boot_services()->FreePool(now);
        } else {
            // Only a failing file operation can leave a rewritten file without a new table.
            if (seed_file && !(flags & FAULT))
                FUZZ_CHECK(seed_file->contents() == file);
            if (previous) {
                FUZZ_CHECK(previous->size == previous_size);
                fw.boot_services()->FreePool(previous);
            }
        }
        // Secrets go back to the firmware wiped: the token's copy, the file's contents.
        auto secret = [](const fuzz::Bytes &b) {
            return b.size() >= 8 && std::any_of(b.begin(), b.end(), [](uint8_t x) { return x != 0; });
        };
        for (const fakefw::FreedPool &freed : fw.memory().freed_pool()) {
            if (secret(token) && freed.bytes == token)
                fuzz::fail("the system token was freed unwiped");
            if (secret(file) && freed.bytes == file)
                fuzz::fail("the seed file's contents were freed unwiped");
        }
    });
    return 0;
}
