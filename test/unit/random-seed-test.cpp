// The random seed refresh against a fake ESP found through a GPT disk. Expected seeds are
// derived here with OpenSSL from the inputs the fake firmware hands out.
#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "boot/efivars.h"
#include "boot/file-util.h"
#include "boot/part-discovery.h"
#include "boot/random-seed.h"
#include "fakefw/fakefw.h"
#include "support/gpt-builder.h"

namespace {

using namespace korvane;
using namespace testsupport;
using fakefw::Bytes;
using fakefw::FileNode;
using fakefw::FileOp;
using fakefw::Firmware;
using fakefw::Service;

constexpr EFI_GUID ROOT_TYPE = {0x0fc63daf, 0x8483, 0x4772, {0x8e, 0x79, 0x3d, 0x69, 0xd8, 0x47, 0x7d, 0xe4}};
const GptEntrySpec ROOT = {ROOT_TYPE, {0x11, 0x22, 0x33, {1, 2, 3, 4, 5, 6, 7, 8}}, 24, 47};
const GptEntrySpec ESP = {ESP_PARTITION_TYPE_GUID, {0x44, 0x55, 0x66, {8, 7, 6, 5, 4, 3, 2, 1}}, 8, 23};

Bytes sha256(const Bytes &data) {
    Bytes out(32);
    unsigned n = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &n, EVP_sha256(), nullptr), 1);
    return out;
}

Bytes pattern(size_t n, uint8_t start) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = uint8_t(start + 7 * i);
    return b;
}

// True when `block` holds one of the 16-byte pieces `secret` is cut into (or its shorter tail).
bool holds_piece_of(const Bytes &block, const Bytes &secret) {
    for (size_t at = 0; at < secret.size(); at += 16) {
        auto first = secret.begin() + at, last = secret.begin() + std::min(at + 16, secret.size());
        if (std::search(block.begin(), block.end(), first, last) != block.end())
            return true;
    }
    return false;
}

void append_item(Bytes &msg, const Bytes &item) {
    for (int i = 0; i < 8; i++)
        msg.push_back(uint8_t(uint64_t(item.size()) >> (8 * i)));
    msg.insert(msg.end(), item.begin(), item.end());
}

// A GPT disk with a root partition (where the image was loaded from) and an ESP that carries
// a file system, as the firmware would present it. One world per Firmware, so a test can run
// several in a row.
struct SeedWorld {
    Firmware fw;
    Bytes esp_path;
    Bytes root_path;
    fakefw::Disk *disk = nullptr;
    fakefw::Volume *esp = nullptr;
    EFI_LOADED_IMAGE_PROTOCOL image = {};
    Bytes rng_bytes = pattern(32, 0x10);
    Bytes token = pattern(40, 0x80);
    Bytes file = pattern(64, 0x33);
    Bytes previous_seed = pattern(32, 0x55);
    LinuxRandomSeedTable *previous = nullptr;

    SeedWorld() {
        GptSpec spec;
        spec.entries = {ROOT, ESP};
        disk = &fw.block_devices().add_disk(build_gpt_disk(spec));
        esp_path = disk->partition_path(gpt_partition_node(ESP, 1));
        esp = &fw.file_systems().add_volume(esp_path);
        disk->add_partition(gpt_partition_node(ROOT, 0));
        disk->add_partition(gpt_partition_node(ESP, 1), esp->handle());
        root_path = disk->partition_path(gpt_partition_node(ROOT, 0));
        image.DeviceHandle = fw.handles().install(nullptr, EFI_DEVICE_PATH_PROTOCOL_GUID, root_path.data());
    }

    FileNode &seed_file() { return *esp->find(u"\\loader\\random-seed"); }
    void prepare(bool with_rng = true, bool with_token = true) {
        esp->add_file(u"\\loader\\random-seed", file);
        if (with_rng) {
            fw.rng().install();
            fw.rng().set_bytes(rng_bytes);
        }
        if (with_token)
            fw.variables().set(LOADER_VENDOR_GUID, u"LoaderSystemToken", token);
    }
    // A table an earlier stage installed, with the first `size` bytes of previous_seed.
    void install_previous(uint32_t size = 32) {
        previous_seed.resize(size);
        void *p = nullptr;
        ASSERT_EQ(fw.boot_services()->AllocatePool(EfiACPIReclaimMemory, 4 + size, &p), EFI_SUCCESS);
        previous = static_cast<LinuxRandomSeedTable *>(p);
        previous->size = size;
        memcpy(previous->seed, previous_seed.data(), size);
        fw.config_tables().add(LINUX_EFI_RANDOM_SEED_TABLE_GUID, previous);
    }

    // SHA-256 of the label and then each item after its 64-bit little-endian length.
    static Bytes key_of(std::initializer_list<Bytes> items) {
        std::string label = "korvane-boot random seed label v1";
        Bytes msg(label.begin(), label.end());
        for (const Bytes &item : items)
            append_item(msg, item);
        return sha256(msg);
    }
    Bytes counter_item(UINT64 counter) const {
        Bytes c(8);
        for (int i = 0; i < 8; i++)
            c[i] = uint8_t(counter >> (8 * i));
        return c;
    }
    Bytes time_item() {
        EFI_TIME t = fw.clock().time();
        Bytes tb(sizeof(t));
        memcpy(tb.data(), &t, sizeof(t));
        return tb;
    }
    // The key from the inputs in their order, each after its 64-bit length.
    Bytes expected_key(const Bytes &prev, const Bytes &rng, const Bytes &tok, UINT64 counter) {
        return key_of({prev, rng, tok, file, counter_item(counter), time_item()});
    }
    static Bytes derived(Bytes key, uint8_t domain) {
        key.push_back(domain);
        return sha256(key);
    }
    // What the file holds after a complete rewrite with the seed derived from `key`.
    Bytes rewritten_file(const Bytes &key) const {
        Bytes out = derived(key, 0x00);
        out.resize(file.size(), 0);
        return out;
    }
    const LinuxRandomSeedTable *table() {
        return static_cast<const LinuxRandomSeedTable *>(fw.config_tables().find(LINUX_EFI_RANDOM_SEED_TABLE_GUID));
    }
    Bytes table_seed() {
        const LinuxRandomSeedTable *t = table();
        return t ? Bytes(t->seed, t->seed + t->size) : Bytes();
    }
    bool previous_intact() {
        return previous && fw.memory().pool(previous) && previous->size == previous_seed.size() &&
               Bytes(previous->seed, previous->seed + previous->size) == previous_seed;
    }

    // No freed pool block holds a piece of a secret, and seed tables go back only as zeros.
    void expect_secrets_wiped(const std::vector<Bytes> &more = {}) {
        std::vector<Bytes> secrets = {token, file, rng_bytes, previous_seed};
        secrets.insert(secrets.end(), more.begin(), more.end());
        for (const fakefw::FreedPool &block : fw.memory().freed_pool()) {
            for (size_t i = 0; i < secrets.size(); i++)
                EXPECT_FALSE(holds_piece_of(block.bytes, secrets[i]))
                    << "secret " << i << " in a freed block of " << block.bytes.size() << " bytes";
            if (block.type == EfiACPIReclaimMemory)
                EXPECT_EQ(block.bytes, Bytes(block.bytes.size(), 0));
        }
    }

    // Whatever seed tables are still allocated go back, so that only the stub's leaks show.
    void release_tables() {
        auto *t = const_cast<LinuxRandomSeedTable *>(table());
        if (t) {
            fw.config_tables().add(LINUX_EFI_RANDOM_SEED_TABLE_GUID, nullptr);
            fw.boot_services()->FreePool(t);
        }
        if (previous && previous != t && fw.memory().pool(previous))
            fw.boot_services()->FreePool(previous);
    }
};

class RandomSeed : public SeedWorld, public ::testing::Test {};

TEST_F(RandomSeed, RefreshesFileThenInstallsTable) {
    prepare();
    UINT64 counter = fw.clock().next_monotonic_count();
    Bytes key = expected_key({}, rng_bytes, token, counter);
    refresh_random_seed(&image);

    Bytes file_seed = derived(key, 0x00);
    Bytes table_seed = derived(key, 0x01);
    EXPECT_NE(file_seed, table_seed);
    Bytes expected_file = file_seed;
    expected_file.resize(file.size(), 0);
    EXPECT_EQ(seed_file().contents(), expected_file);

    const LinuxRandomSeedTable *t = table();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->size, 32u);
    EXPECT_EQ(Bytes(t->seed, t->seed + 32), table_seed);
    ASSERT_NE(fw.memory().pool(t), nullptr);
    EXPECT_EQ(fw.memory().pool(t)->size, 36u);
    EXPECT_EQ(fw.memory().pool(t)->type, EfiACPIReclaimMemory);
    EXPECT_EQ(fw.console().text(), "");
    // The table belongs to the kernel now.
    fw.boot_services()->FreePool(const_cast<LinuxRandomSeedTable *>(t));
}

TEST_F(RandomSeed, LoaderFeatureBit6LeavesEverythingAlone) {
    prepare();
    fw.variables().set(LOADER_VENDOR_GUID, u"LoaderFeatures", {0x40, 0, 0, 0, 0, 0, 0, 0});
    refresh_random_seed(&image);
    EXPECT_EQ(seed_file().contents(), file);
    EXPECT_EQ(esp->open_volume_calls(), 0u);
    EXPECT_EQ(table(), nullptr);
}

TEST_F(RandomSeed, FourByteLoaderFeaturesAreIgnored) {
    prepare();
    fw.variables().set(LOADER_VENDOR_GUID, u"LoaderFeatures", {0x40, 0, 0, 0});
    refresh_random_seed(&image);
    ASSERT_NE(table(), nullptr);
    EXPECT_NE(seed_file().contents(), file);
    fw.boot_services()->FreePool(const_cast<LinuxRandomSeedTable *>(table()));
}

TEST_F(RandomSeed, NoEntropyWithSecureBootDoesNothingSilently) {
    prepare(false, true);
    fw.variables().set_secure_boot(true);
    refresh_random_seed(&image);
    EXPECT_EQ(seed_file().contents(), file);
    EXPECT_EQ(seed_file().calls(FileOp::Open), 0u);
    EXPECT_EQ(fw.console().text(), "");
}

TEST_F(RandomSeed, NoRngAndNoTokenDoesNothing) {
    prepare(false, false);
    refresh_random_seed(&image);
    EXPECT_EQ(seed_file().contents(), file);
    EXPECT_EQ(table(), nullptr);
    EXPECT_EQ(fw.console().text(), "");
}

TEST_F(RandomSeed, FileSizeLimits) {
    for (size_t size : {size_t(31), size_t(32769)}) {
        SCOPED_TRACE(size);
        file = pattern(size, 1);
        esp->add_file(u"\\loader\\random-seed", file);
        fw.rng().set_bytes(rng_bytes);
        if (size == 31)
            fw.rng().install();
        refresh_random_seed(&image);
        EXPECT_EQ(seed_file().contents(), file);
        EXPECT_NE(fw.console().text().find(size == 31 ? "Random seed file is too short." : "Random seed file is too large."),
                  std::string::npos);
    }
    EXPECT_EQ(table(), nullptr);
}

TEST_F(RandomSeed, LargestFileIsZeroedBehindTheSeedAndAMinimalOneWrittenOnce) {
    file = pattern(32768, 9);
    prepare();
    UINT64 counter = fw.clock().next_monotonic_count();
    Bytes key = expected_key({}, rng_bytes, token, counter);
    refresh_random_seed(&image);
    Bytes expected = derived(key, 0);
    expected.resize(32768, 0);
    EXPECT_EQ(seed_file().contents(), expected);
    EXPECT_EQ(seed_file().calls(FileOp::Write), 2u);
    fw.boot_services()->FreePool(const_cast<LinuxRandomSeedTable *>(table()));
}

TEST_F(RandomSeed, ThirtyTwoByteFileIsRewrittenWithOneWrite) {
    file = pattern(32, 9);
    prepare();
    refresh_random_seed(&image);
    EXPECT_EQ(seed_file().calls(FileOp::Write), 1u);
    EXPECT_EQ(seed_file().contents().size(), 32u);
    fw.boot_services()->FreePool(const_cast<LinuxRandomSeedTable *>(table()));
}

TEST_F(RandomSeed, PreviousTableAndShortTokenAreMixedInAndTheOldTableRetired) {
    token = pattern(10, 0x90);
    prepare();
    void *old_pool = nullptr;
    ASSERT_EQ(fw.boot_services()->AllocatePool(EfiACPIReclaimMemory, 36, &old_pool), EFI_SUCCESS);
    auto *prev = static_cast<LinuxRandomSeedTable *>(old_pool);
    prev->size = 32;
    Bytes prev_seed = pattern(32, 0x55);
    memcpy(prev->seed, prev_seed.data(), 32);
    fw.config_tables().add(LINUX_EFI_RANDOM_SEED_TABLE_GUID, prev);

    UINT64 counter = fw.clock().next_monotonic_count();
    Bytes key = expected_key(prev_seed, rng_bytes, token, counter);
    refresh_random_seed(&image);
    ASSERT_NE(table(), nullptr);
    EXPECT_EQ(Bytes(table()->seed, table()->seed + 32), derived(key, 1));
    EXPECT_EQ(fw.memory().pool(prev), nullptr); // freed
    fw.boot_services()->FreePool(const_cast<LinuxRandomSeedTable *>(table()));
}

TEST_F(RandomSeed, FailedInstallKeepsTheRewrittenFileAndThePreviousTable) {
    prepare();
    void *prev = nullptr;
    ASSERT_EQ(fw.boot_services()->AllocatePool(EfiACPIReclaimMemory, 36, &prev), EFI_SUCCESS);
    static_cast<LinuxRandomSeedTable *>(prev)->size = 32;
    fw.config_tables().add(LINUX_EFI_RANDOM_SEED_TABLE_GUID, prev);
    fw.fail(Service::InstallConfigurationTable, EFI_OUT_OF_RESOURCES);
    refresh_random_seed(&image);
    EXPECT_NE(seed_file().contents(), file); // the file came first
    EXPECT_EQ(table(), prev);
    EXPECT_NE(fw.memory().pool(prev), nullptr);
    EXPECT_NE(fw.console().text().find("Failed to install EFI table for random seed"), std::string::npos);
    fw.boot_services()->FreePool(prev);
}

TEST_F(RandomSeed, FailedFlushInstallsNoTable) {
    prepare();
    esp->add_file(u"\\loader\\random-seed", file);
    seed_file().fail(FileOp::Flush, EFI_DEVICE_ERROR);
    refresh_random_seed(&image);
    EXPECT_EQ(table(), nullptr);
    EXPECT_NE(fw.console().text().find("Failed to flush random seed file"), std::string::npos);
}

TEST_F(RandomSeed, EveryFileFailureReleasesEverything) {
    const FileOp ops[] = {FileOp::Open, FileOp::GetInfo, FileOp::Read, FileOp::SetPosition, FileOp::Write, FileOp::Flush};
    fw.rng().install();
    for (FileOp op : ops) {
        for (unsigned after = 0; after < 3; after++) {
            SCOPED_TRACE(std::string(fakefw::file_op_name(op)) + " after " + std::to_string(after));
            file = pattern(100, uint8_t(after));
            esp->add_file(u"\\loader\\random-seed", file);
            fw.rng().set_bytes(rng_bytes);
            seed_file().fail(op, EFI_DEVICE_ERROR, after, 1);
            refresh_random_seed(&image);
            if (const LinuxRandomSeedTable *t = table()) {
                fw.boot_services()->FreePool(const_cast<LinuxRandomSeedTable *>(t));
                fw.config_tables().add(LINUX_EFI_RANDOM_SEED_TABLE_GUID, nullptr);
            }
            EXPECT_EQ(fw.memory().live_pool_count(), 0u);
            EXPECT_EQ(fw.file_systems().open_count(), 0u);
            seed_file().fail(op, EFI_DEVICE_ERROR, 0, 0);
        }
    }
}

// ---- which inputs go into the key ----

TEST_F(RandomSeed, RngWithoutTokenHashesAnEmptyToken) {
    prepare(true, false);
    UINT64 counter = fw.clock().next_monotonic_count();
    refresh_random_seed(&image);
    Bytes key = expected_key({}, rng_bytes, {}, counter);
    EXPECT_EQ(seed_file().contents(), rewritten_file(key));
    EXPECT_EQ(table_seed(), derived(key, 0x01));
    release_tables();
}

TEST_F(RandomSeed, A32ByteTokenIsEnoughWithoutFirmwareEntropy) {
    token = pattern(32, 0xa0);
    prepare(false, true);
    UINT64 counter = fw.clock().next_monotonic_count();
    refresh_random_seed(&image);
    Bytes key = expected_key({}, {}, token, counter);
    EXPECT_EQ(seed_file().contents(), rewritten_file(key));
    EXPECT_EQ(table_seed(), derived(key, 0x01));
    EXPECT_EQ(fw.console().text(), "");
    release_tables();
}

TEST_F(RandomSeed, A31ByteTokenIsNotEnoughWithoutFirmwareEntropy) {
    token = pattern(31, 0xa0);
    prepare(false, true);
    refresh_random_seed(&image);
    EXPECT_EQ(seed_file().contents(), file);
    EXPECT_EQ(seed_file().calls(FileOp::Open), 0u);
    EXPECT_EQ(table(), nullptr);
}

TEST_F(RandomSeed, APreviousTableIsEntropyEvenUnderSecureBoot) {
    install_previous(32);
    prepare(false, false);
    fw.variables().set_secure_boot(true);
    UINT64 counter = fw.clock().next_monotonic_count();
    refresh_random_seed(&image);
    Bytes key = expected_key(previous_seed, {}, {}, counter);
    EXPECT_EQ(seed_file().contents(), rewritten_file(key));
    EXPECT_EQ(table_seed(), derived(key, 0x01));
    EXPECT_EQ(fw.memory().pool(previous), nullptr);
    release_tables();
}

TEST_F(RandomSeed, AShortPreviousTableIsMixedInButIsNoEntropy) {
    install_previous(16);
    prepare(false, false);
    fw.variables().set_secure_boot(true);
    refresh_random_seed(&image);
    EXPECT_EQ(seed_file().calls(FileOp::Open), 0u);
    EXPECT_TRUE(previous_intact());

    // Secure Boot off and a token that counts on its own: the 16 bytes are an item of 16.
    fw.variables().set_secure_boot(false);
    token = pattern(32, 0xa0);
    fw.variables().set(LOADER_VENDOR_GUID, u"LoaderSystemToken", token);
    UINT64 counter = fw.clock().next_monotonic_count();
    refresh_random_seed(&image);
    Bytes key = expected_key(previous_seed, {}, token, counter);
    EXPECT_EQ(table_seed(), derived(key, 0x01));
    release_tables();
}

TEST_F(RandomSeed, APreviousTableClaimingMoreThanOneKibibyteIsReadAndWipedOnlyThatFar) {
    install_previous(1024);
    previous->size = UINT32_MAX;
    prepare(false, false);
    UINT64 counter = fw.clock().next_monotonic_count();
    refresh_random_seed(&image);
    Bytes key = expected_key(previous_seed, {}, {}, counter);
    EXPECT_EQ(table_seed(), derived(key, 0x01));
    release_tables();
}

TEST_F(RandomSeed, AFailingClockHashesAnEmptyTimeAndAFailingCounterZero) {
    prepare();
    fw.fail(Service::GetTime, EFI_UNSUPPORTED);
    fw.fail(Service::GetNextMonotonicCount, EFI_DEVICE_ERROR);
    refresh_random_seed(&image);
    Bytes key = key_of({{}, rng_bytes, token, file, counter_item(0), {}});
    EXPECT_EQ(seed_file().contents(), rewritten_file(key));
    EXPECT_EQ(table_seed(), derived(key, 0x01));
    EXPECT_EQ(fw.console().text(), "");
    release_tables();
}

TEST_F(RandomSeed, AFailingCounterWithoutFirmwareEntropyStopsBeforeAnyWrite) {
    token = pattern(32, 0xa0);
    prepare(false, true);
    fw.fail(Service::GetNextMonotonicCount, EFI_DEVICE_ERROR);
    refresh_random_seed(&image);
    EXPECT_NE(fw.console().text().find("Failed to acquire UEFI monotonic counter: Device error"), std::string::npos);
    EXPECT_EQ(seed_file().contents(), file);
    EXPECT_EQ(seed_file().calls(FileOp::Write), 0u);
    EXPECT_EQ(table(), nullptr);
}

// ---- the firmware RNG and the system token ----

const fakefw::Line *line_with(const std::vector<fakefw::Line> &lines, const std::string &text) {
    for (const fakefw::Line &l : lines)
        if (l.utf8().find(text) != std::string::npos)
            return &l;
    return nullptr;
}

TEST_F(RandomSeed, RngIsAskedForThirtyTwoBytesOfTheDefaultAlgorithm) {
    prepare();
    refresh_random_seed(&image);
    ASSERT_EQ(fw.rng().calls().size(), 1u);
    EXPECT_EQ(fw.rng().calls()[0].algorithm, nullptr);
    EXPECT_EQ(fw.rng().calls()[0].length, 32u);
    release_tables();
}

TEST_F(RandomSeed, AnRngWithoutUsableAlgorithmIsSilent) {
    prepare(true, true);
    fw.variables().set_secure_boot(true);
    fw.fail(Service::RngGetRNG, EFI_UNSUPPORTED);
    refresh_random_seed(&image);
    EXPECT_EQ(fw.console().text(), "");
    EXPECT_EQ(seed_file().calls(FileOp::Open), 0u);
    EXPECT_EQ(table(), nullptr);
}

TEST_F(RandomSeed, AnRngErrorIsAWarningAndTheRefreshGoesOnWithoutIt) {
    prepare(true, true);
    fw.fail(Service::RngGetRNG, EFI_DEVICE_ERROR);
    UINT64 counter = fw.clock().next_monotonic_count();
    refresh_random_seed(&image);
    std::vector<fakefw::Line> lines = fw.console().lines();
    const fakefw::Line *warning = line_with(lines, "Failed to acquire RNG data, proceeding without: Device error");
    ASSERT_NE(warning, nullptr) << fw.console().text();
    EXPECT_EQ(warning->attributes.front(), 0x0Eu);
    Bytes key = expected_key({}, {}, token, counter);
    EXPECT_EQ(table_seed(), derived(key, 0x01));
    release_tables();
}

TEST_F(RandomSeed, AnUnreadableTokenIsAnErrorAndHashedAsEmpty) {
    prepare();
    // The first read is LoaderFeatures (missing), the second the token's size query.
    fw.fail(Service::GetVariable, EFI_DEVICE_ERROR, 1, 1);
    UINT64 counter = fw.clock().next_monotonic_count();
    refresh_random_seed(&image);
    std::vector<fakefw::Line> lines = fw.console().lines();
    const fakefw::Line *error = line_with(lines, "Failed to read LoaderSystemToken EFI variable: Device error");
    ASSERT_NE(error, nullptr) << fw.console().text();
    EXPECT_EQ(error->attributes.front(), 0x0Cu);
    EXPECT_EQ(table_seed(), derived(expected_key({}, rng_bytes, {}, counter), 0x01));
    release_tables();
}

TEST_F(RandomSeed, AnEmptyTokenIsTooShort) {
    token = {};
    prepare(true, true);
    UINT64 counter = fw.clock().next_monotonic_count();
    refresh_random_seed(&image);
    EXPECT_NE(fw.console().text().find("System token too short, ignoring."), std::string::npos);
    EXPECT_EQ(table_seed(), derived(expected_key({}, rng_bytes, {}, counter), 0x01));
    release_tables();
}

// ---- where the file is ----

TEST_F(RandomSeed, OnlyTheEspOfTheBootDiskIsUsed) {
    // The partition the image came from has a file system and a seed file of its own.
    fakefw::Volume &root_volume = fw.file_systems().add_volume(root_path);
    root_volume.add_file(u"\\loader\\random-seed", file);
    // So does the ESP of another disk.
    GptSpec other_spec;
    other_spec.entries = {{ESP_PARTITION_TYPE_GUID, {0x99, 0x98, 0x97, {9, 9, 9, 9, 9, 9, 9, 9}}, 8, 23}};
    fakefw::Disk &other = fw.block_devices().add_disk(build_gpt_disk(other_spec));
    Bytes other_path = other.partition_path(gpt_partition_node(other_spec.entries[0], 0));
    fakefw::Volume &other_esp = fw.file_systems().add_volume(other_path);
    other_esp.add_file(u"\\loader\\random-seed", file);
    other.add_partition(gpt_partition_node(other_spec.entries[0], 0), other_esp.handle());
    other.connect();

    image.DeviceHandle = root_volume.handle();
    prepare();
    refresh_random_seed(&image);
    EXPECT_NE(seed_file().contents(), file);
    EXPECT_EQ(root_volume.find(u"\\loader\\random-seed")->contents(), file);
    EXPECT_EQ(other_esp.find(u"\\loader\\random-seed")->contents(), file);
    EXPECT_EQ(root_volume.open_volume_calls(), 0u);
    release_tables();
}

TEST_F(RandomSeed, NoVolumeNoFileAReadOnlyFileOrNoDeviceAreSilent) {
    fw.rng().install();
    fw.variables().set(LOADER_VENDOR_GUID, u"LoaderSystemToken", token);
    install_previous();
    esp->fail_open_volume(EFI_DEVICE_ERROR, 0, 1);
    refresh_random_seed(&image);
    EXPECT_EQ(esp->open_volume_calls(), 1u);
    EXPECT_TRUE(fw.rng().calls().empty());

    fw.rng().set_bytes(rng_bytes);
    refresh_random_seed(&image); // no file yet
    EXPECT_EQ(fw.rng().calls().size(), 1u);

    esp->add_file(u"\\loader\\random-seed", file);
    esp->set_read_only(true);
    fw.rng().set_bytes(rng_bytes);
    refresh_random_seed(&image);
    EXPECT_EQ(seed_file().calls(FileOp::Open), 1u);
    EXPECT_EQ(seed_file().contents(), file);

    image.DeviceHandle = nullptr;
    refresh_random_seed(&image);
    EXPECT_EQ(esp->open_volume_calls(), 3u);

    EXPECT_EQ(fw.console().text(), "");
    EXPECT_EQ(table(), previous);
    EXPECT_TRUE(previous_intact());
    release_tables();
}

TEST_F(RandomSeed, ADiskWithoutEspIsLeftAlone) {
    GptSpec spec;
    spec.entries = {ROOT};
    fakefw::Disk &plain = fw.block_devices().add_disk(build_gpt_disk(spec));
    plain.add_partition(gpt_partition_node(ROOT, 0));
    Bytes path = plain.partition_path(gpt_partition_node(ROOT, 0));
    image.DeviceHandle = fw.handles().install(nullptr, EFI_DEVICE_PATH_PROTOCOL_GUID, path.data());
    prepare();
    refresh_random_seed(&image);
    EXPECT_EQ(esp->open_volume_calls(), 0u);
    EXPECT_EQ(table(), nullptr);
    EXPECT_EQ(fw.console().text(), "");
}

TEST_F(RandomSeed, LoaderFeaturesWithoutBit6DoNotStopTheRefresh) {
    prepare();
    fw.variables().set(LOADER_VENDOR_GUID, u"LoaderFeatures", {0xbf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff});
    refresh_random_seed(&image);
    EXPECT_NE(table(), nullptr);
    release_tables();
}

TEST_F(RandomSeed, NullArgumentsAreAssertions) {
    std::string text = fakefw::expect_halt([] { refresh_random_seed(nullptr); });
    EXPECT_NE(text.find("Assertion 'loaded_image' failed"), std::string::npos) << text;
}

TEST(RandomSeedProcess, NullRootIsAnAssertion) {
    Firmware fw;
    std::string text = fakefw::expect_halt([] { (void) process_random_seed(nullptr); });
    EXPECT_NE(text.find("Assertion 'root_dir' failed"), std::string::npos) << text;
}

// ---- failures while the file is handled ----

enum class FileAfter { Untouched, TailZeroed, TailHalfZeroed, Rewritten };

struct FileFault {
    const char *name;
    void (*arrange)(FileNode &file);
    const char *message;
    FileAfter after;
};

// A 64-byte file: SetPosition 0 after the read, SetPosition 32, the tail, Flush, SetPosition 0,
// the seed, Flush.
const FileFault FILE_FAULTS[] = {
    {"open", [](FileNode &f) { f.fail(FileOp::Open, EFI_DEVICE_ERROR); }, "Failed to open random seed file: Device error",
     FileAfter::Untouched},
    {"info", [](FileNode &f) { f.fail(FileOp::GetInfo, EFI_DEVICE_ERROR); },
     "Failed to get file info for random seed: Device error", FileAfter::Untouched},
    {"read", [](FileNode &f) { f.fail(FileOp::Read, EFI_DEVICE_ERROR); }, "Failed to read random seed file: Device error",
     FileAfter::Untouched},
    {"short read", [](FileNode &f) { f.limit_reads(40); }, "Short read on random seed file.", FileAfter::Untouched},
    {"rewind after read", [](FileNode &f) { f.fail(FileOp::SetPosition, EFI_DEVICE_ERROR, 0, 1); },
     "Failed to seek to beginning of random seed file: Device error", FileAfter::Untouched},
    {"seek to tail", [](FileNode &f) { f.fail(FileOp::SetPosition, EFI_DEVICE_ERROR, 1, 1); },
     "Failed to seek to offset of random seed file: Device error", FileAfter::Untouched},
    {"tail write", [](FileNode &f) { f.fail(FileOp::Write, EFI_DEVICE_ERROR, 0, 1); },
     "Failed to write random seed file: Device error", FileAfter::Untouched},
    {"short tail write", [](FileNode &f) { f.limit_writes(16); }, "Short write on random seed file.",
     FileAfter::TailHalfZeroed},
    {"tail flush", [](FileNode &f) { f.fail(FileOp::Flush, EFI_DEVICE_ERROR, 0, 1); },
     "Failed to flush random seed file: Device error", FileAfter::TailZeroed},
    {"rewind after tail", [](FileNode &f) { f.fail(FileOp::SetPosition, EFI_DEVICE_ERROR, 2, 1); },
     "Failed to seek to beginning of random seed file: Device error", FileAfter::TailZeroed},
    {"seed write", [](FileNode &f) { f.fail(FileOp::Write, EFI_DEVICE_ERROR, 1, 1); },
     "Failed to write random seed file: Device error", FileAfter::TailZeroed},
    {"seed flush", [](FileNode &f) { f.fail(FileOp::Flush, EFI_DEVICE_ERROR, 1, 1); },
     "Failed to flush random seed file: Device error", FileAfter::Rewritten},
};

TEST(RandomSeedFileFaults, EachFailureIsNamedAndKeepsThePreviousTable) {
    for (const FileFault &c : FILE_FAULTS) {
        SCOPED_TRACE(c.name);
        SeedWorld w;
        w.fw.memory().keep_freed_pool();
        w.prepare();
        w.install_previous();
        c.arrange(w.seed_file());
        UINT64 counter = w.fw.clock().next_monotonic_count();
        refresh_random_seed(&w.image);

        std::vector<fakefw::Line> lines = w.fw.console().lines();
        ASSERT_EQ(lines.size(), 1u) << w.fw.console().text();
        EXPECT_NE(lines[0].utf8().find(c.message), std::string::npos) << lines[0].utf8();
        EXPECT_EQ(lines[0].attributes.front(), 0x0Cu);

        Bytes old = w.file;
        Bytes expected = old;
        if (c.after == FileAfter::TailZeroed)
            std::fill(expected.begin() + 32, expected.end(), 0);
        if (c.after == FileAfter::TailHalfZeroed)
            std::fill(expected.begin() + 32, expected.begin() + 48, 0);
        if (c.after == FileAfter::Rewritten)
            expected = w.rewritten_file(w.expected_key(w.previous_seed, w.rng_bytes, w.token, counter));
        EXPECT_EQ(w.seed_file().contents(), expected);
        EXPECT_EQ(w.table(), w.previous);
        EXPECT_TRUE(w.previous_intact());
        w.expect_secrets_wiped({Bytes(expected.begin(), expected.begin() + 32)});
        EXPECT_EQ(w.fw.file_systems().open_count(), 0u);
        w.release_tables();
    }
}

// ---- a fault at any single step ----

// What a fault in a step may lead to: the inputs only change the seed, the file and the
// table steps must keep the previous table, and discovery may find the ESP through another
// copy of the GPT or give up.
enum class Step { Input, File, Table, Discovery };

struct FaultPoint {
    std::string name;
    Step step;
    std::function<void(SeedWorld &)> arm;
};

// The counts of one undisturbed refresh, so that every call of every step gets its fault.
std::vector<FaultPoint> fault_points() {
    SeedWorld clean;
    clean.prepare();
    clean.install_previous();
    std::array<unsigned, fakefw::SERVICE_COUNT> before;
    for (unsigned i = 0; i < fakefw::SERVICE_COUNT; i++)
        before[i] = clean.fw.calls(Service(i));
    refresh_random_seed(&clean.image);
    clean.release_tables();
    auto calls = [&](Service s) { return clean.fw.calls(s) - before[unsigned(s)]; };

    std::vector<FaultPoint> points;
    auto each_call = [&](Service s, Step step) {
        for (unsigned k = 0; k < calls(s); k++)
            points.push_back({std::string(fakefw::service_name(s)) + " #" + std::to_string(k), step,
                              [s, k](SeedWorld &w) { w.fw.fail(s, EFI_DEVICE_ERROR, k, 1); }});
    };
    for (Service s : {Service::GetVariable, Service::LocateProtocol, Service::RngGetRNG,
                      Service::GetNextMonotonicCount, Service::GetTime})
        each_call(s, Step::Input);
    for (Service s : {Service::HandleProtocol, Service::LocateDevicePath, Service::ConnectController,
                      Service::BlockIoReadBlocks, Service::CalculateCrc32})
        each_call(s, Step::Discovery);
    each_call(Service::InstallConfigurationTable, Step::Table);
    // Only the table's allocation may fail; every other one halts by design.
    unsigned last_allocation = calls(Service::AllocatePool) - 1;
    points.push_back({"table allocation", Step::Table, [last_allocation](SeedWorld &w) {
                          w.fw.fail(Service::AllocatePool, EFI_OUT_OF_RESOURCES, last_allocation, 1);
                      }});
    points.push_back({"OpenVolume", Step::File, [](SeedWorld &w) { w.esp->fail_open_volume(EFI_DEVICE_ERROR); }});
    for (FileOp op : {FileOp::Open, FileOp::GetInfo, FileOp::Read, FileOp::SetPosition, FileOp::Write, FileOp::Flush})
        for (unsigned k = 0; k < clean.seed_file().calls(op); k++)
            points.push_back({std::string(fakefw::file_op_name(op)) + " #" + std::to_string(k), Step::File,
                              [op, k](SeedWorld &w) { w.seed_file().fail(op, EFI_DEVICE_ERROR, k, 1); }});
    return points;
}

TEST(RandomSeedFaults, NoSingleFaultLosesTheFileSizeOrThePreviousTable) {
    std::vector<FaultPoint> points = fault_points();
    ASSERT_GT(points.size(), 25u);
    for (const FaultPoint &p : points) {
        SCOPED_TRACE(p.name);
        SeedWorld w;
        w.fw.memory().keep_freed_pool();
        w.prepare();
        w.install_previous();
        p.arm(w);
        refresh_random_seed(&w.image);

        const Bytes &now = w.seed_file().contents();
        EXPECT_EQ(now.size(), w.file.size());
        bool rewritten = !std::equal(now.begin(), now.begin() + 32, w.file.begin());
        const LinuxRandomSeedTable *t = w.table();
        ASSERT_NE(t, nullptr);
        if (t == w.previous) {
            EXPECT_TRUE(w.previous_intact());
        } else {
            // A new table only over a completely rewritten file, and the old one retired after it.
            EXPECT_EQ(w.fw.memory().pool_size(t), 36u);
            EXPECT_EQ(t->size, 32u);
            EXPECT_TRUE(rewritten);
            EXPECT_TRUE(std::all_of(now.begin() + 32, now.end(), [](uint8_t b) { return b == 0; }));
            EXPECT_EQ(w.fw.memory().pool(w.previous), nullptr);
        }
        switch (p.step) {
        case Step::Input:
            EXPECT_NE(t, w.previous);
            break;
        case Step::File:
            EXPECT_EQ(t, w.previous);
            break;
        case Step::Table:
            EXPECT_EQ(t, w.previous);
            EXPECT_TRUE(rewritten);
            EXPECT_NE(w.fw.console().text().find(p.name == "table allocation"
                                                     ? "Failed to allocate EFI table for random seed"
                                                     : "Failed to install EFI table for random seed"),
                      std::string::npos);
            break;
        case Step::Discovery:
            if (t == w.previous)
                EXPECT_FALSE(rewritten);
            break;
        }
        w.expect_secrets_wiped({Bytes(now.begin(), now.begin() + 32), w.table_seed()});
        EXPECT_EQ(w.fw.file_systems().open_count(), 0u);
        w.release_tables();
    }
}

TEST_F(RandomSeed, SecretsAreWipedAndTheOldTableZeroedBeforeRelease) {
    fw.memory().keep_freed_pool();
    prepare();
    install_previous();
    UINT64 counter = fw.clock().next_monotonic_count();
    refresh_random_seed(&image);
    Bytes key = expected_key(previous_seed, rng_bytes, token, counter);
    EXPECT_EQ(table_seed(), derived(key, 0x01));

    const fakefw::FreedPool *old = nullptr;
    for (const fakefw::FreedPool &b : fw.memory().freed_pool())
        if (b.address == previous)
            old = &b;
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(old->bytes, Bytes(36, 0));
    expect_secrets_wiped({key, derived(key, 0x00), derived(key, 0x01)});
    release_tables();
}

} // namespace

namespace {

EFI_FILE_PROTOCOL *left_behind;

EFI_STATUS EFIAPI open_failing_with_a_handle_left(EFI_FILE_PROTOCOL *, EFI_FILE_PROTOCOL **new_handle, const CHAR16 *,
                                                  UINT64, UINT64) {
    *new_handle = left_behind;
    return EFI_DEVICE_ERROR;
}

} // namespace

TEST(RandomSeedFile, AFailedOpenClosesNothingTheFirmwareLeftInItsOutParameter) {
    Firmware fw;
    fw.rng().install();
    fakefw::Volume &esp = fw.file_systems().add_volume();
    ASSERT_EQ(open_volume_root(esp.handle(), &left_behind), EFI_SUCCESS);
    EFI_FILE_PROTOCOL root = {.Open = open_failing_with_a_handle_left};
    EXPECT_EQ(process_random_seed(&root), EFI_DEVICE_ERROR);
    EXPECT_EQ(fw.file_systems().open_count(), 1u);
    left_behind->Close(left_behind);
}
