// The random seed refresh against a fake ESP found through a GPT disk. Expected seeds are
// derived here with OpenSSL from the inputs the fake firmware hands out.
#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "boot/efivars.h"
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

void append_item(Bytes &msg, const Bytes &item) {
    for (int i = 0; i < 8; i++)
        msg.push_back(uint8_t(uint64_t(item.size()) >> (8 * i)));
    msg.insert(msg.end(), item.begin(), item.end());
}

class RandomSeed : public ::testing::Test {
protected:
    Firmware fw;
    DiskBytes disk_image;
    Bytes esp_path;
    Bytes root_path;
    fakefw::Volume *esp = nullptr;
    EFI_LOADED_IMAGE_PROTOCOL image = {};
    Bytes rng_bytes = pattern(32, 0x10);
    Bytes token = pattern(40, 0x80);
    Bytes file = pattern(64, 0x33);

    void SetUp() override {
        GptSpec spec;
        spec.entries = {ROOT, ESP};
        fakefw::Disk &disk = fw.block_devices().add_disk(build_gpt_disk(spec));
        esp_path = disk.partition_path(gpt_partition_node(ESP, 1));
        esp = &fw.file_systems().add_volume(esp_path);
        disk.add_partition(gpt_partition_node(ROOT, 0));
        disk.add_partition(gpt_partition_node(ESP, 1), esp->handle());
        root_path = disk.partition_path(gpt_partition_node(ROOT, 0));
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

    // The key from the inputs in their order, each after its 64-bit length.
    Bytes expected_key(const Bytes &previous, const Bytes &rng, const Bytes &tok, UINT64 counter) {
        std::string label = "korvane-boot random seed label v1";
        Bytes msg(label.begin(), label.end());
        append_item(msg, previous);
        append_item(msg, rng);
        append_item(msg, tok);
        append_item(msg, file);
        Bytes c(8);
        memcpy(c.data(), &counter, 8);
        append_item(msg, c);
        EFI_TIME t = fw.clock().time();
        Bytes tb(16);
        memcpy(tb.data(), &t, 16);
        append_item(msg, tb);
        return sha256(msg);
    }
    static Bytes derived(Bytes key, uint8_t domain) {
        key.push_back(domain);
        return sha256(key);
    }
    const LinuxRandomSeedTable *table() {
        return static_cast<const LinuxRandomSeedTable *>(fw.config_tables().find(LINUX_EFI_RANDOM_SEED_TABLE_GUID));
    }
};

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

} // namespace
