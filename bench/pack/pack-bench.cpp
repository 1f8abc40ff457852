// Sidecar packing at scale on the fake firmware: many small credentials, and one large system
// extension image. Prints one JSON object per case: host time of pack_cpio (best of the rounds),
// the bytes the stub copied with CopyMem, the bytes the firmware delivered from files, and the
// peak of live pool and page memory during the pass above what was live before it.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <string>
#include <vector>

#include "boot/cpio.h"
#include "fakefw/fakefw.h"
#include "support/device-path-builder.h"

using namespace korvane;

namespace {

struct Case {
    const char *name;
    const char16_t *suffix;
    size_t files;
    size_t file_size;
};

constexpr Case CASES[] = {
    {"credentials-1", u".cred", 1, 4096},
    {"credentials-10", u".cred", 10, 4096},
    {"credentials-100", u".cred", 100, 4096},
    {"credentials-1000", u".cred", 1000, 4096},
    {"sysext-256MiB", u".raw", 1, size_t(256) << 20},
};

struct Figures {
    double seconds = 1e9;
    uint64_t copied = 0, read = 0, peak_memory = 0, archive = 0, payload = 0;
};

fakefw::Bytes pattern(size_t size, size_t seed) {
    fakefw::Bytes b(size);
    for (size_t i = 0; i < size; i++)
        b[i] = uint8_t((i * 131 + seed * 7) >> 3);
    return b;
}

void run_once(const Case &c, Figures *f) {
    fakefw::Firmware fw;
    fakefw::Volume &esp = fw.file_systems().add_volume();
    for (size_t i = 0; i < c.files; i++) {
        char name[32];
        std::snprintf(name, sizeof(name), "file-%04zu", i);
        std::u16string path = u"\\EFI\\Linux\\uki.efi.extra.d\\" + std::u16string(name, name + std::strlen(name)) +
                              c.suffix;
        esp.add_file(path, pattern(c.file_size, i));
    }
    fakefw::Bytes file_path = testsupport::dp_path({testsupport::dp_file_node(u"\\EFI\\Linux\\uki.efi")});
    EFI_LOADED_IMAGE_PROTOCOL image = {};
    image.DeviceHandle = esp.handle();
    image.FilePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(file_path.data());
    CpioPackRequest request = {nullptr, c.suffix, nullptr, ".extra/bench", 0555, 0444, 13, u"Benchmark initrd"};

    fw.memory().reset_counters();
    fw.file_systems().reset_bytes_read();
    size_t live_before = fw.memory().live_bytes();
    CpioPages archive;
    bool measured = false;
    auto start = std::chrono::steady_clock::now();
    EFI_STATUS err = pack_cpio(&image, request, &archive, &measured);
    auto end = std::chrono::steady_clock::now();
    if (err != EFI_SUCCESS || !archive.pages) {
        std::fprintf(stderr, "pack-bench: %s: pack_cpio failed (status %#llx)\n", c.name,
                     static_cast<unsigned long long>(err));
        std::exit(1);
    }
    f->seconds = std::min(f->seconds, std::chrono::duration<double>(end - start).count());
    f->copied = fw.memory().copied_bytes();
    f->read = fw.file_systems().bytes_read();
    f->peak_memory = fw.memory().peak_bytes() - live_before;
    f->archive = archive.size;
    f->payload = uint64_t(c.files) * c.file_size;
}

} // namespace

int main(int argc, char **argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    if (rounds < 1) {
        std::fprintf(stderr, "usage: pack-bench [ROUNDS]\n");
        return 2;
    }
    std::printf("[\n");
    for (size_t i = 0; i < std::size(CASES); i++) {
        Figures f;
        for (int r = 0; r < rounds; r++)
            run_once(CASES[i], &f);
        std::printf("  {\"case\": \"%s\", \"files\": %zu, \"file_size\": %zu, \"seconds\": %.6f, "
                    "\"copied_bytes\": %llu, \"read_bytes\": %llu, \"peak_memory_bytes\": %llu, "
                    "\"archive_bytes\": %llu, \"payload_bytes\": %llu}%s\n",
                    CASES[i].name, CASES[i].files, CASES[i].file_size, f.seconds,
                    static_cast<unsigned long long>(f.copied), static_cast<unsigned long long>(f.read),
                    static_cast<unsigned long long>(f.peak_memory), static_cast<unsigned long long>(f.archive),
                    static_cast<unsigned long long>(f.payload), i + 1 < std::size(CASES) ? "," : "");
    }
    std::printf("]\n");
    return 0;
}
