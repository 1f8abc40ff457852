// Finding the ESP through the disk's GPT copies, and the partition GUID text. Disk images are
// built by test/support/gpt-builder.h with a bitwise CRC-32 of their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "boot/efi/gpt.h"
#include "boot/part-discovery.h"
#include "boot/util.h"
#include "fakefw/fakefw.h"
#include "support/device-path-builder.h"
#include "support/gpt-builder.h"

namespace {

using namespace korvane;
using namespace testsupport;
using fakefw::BlockRead;
using fakefw::Disk;
using fakefw::Firmware;
using fakefw::Service;

constexpr EFI_GUID LINUX_DATA_TYPE = {0x0fc63daf, 0x8483, 0x4772, {0x8e, 0x79, 0x3d, 0x69, 0xd8, 0x47, 0x7d, 0xe4}};
constexpr EFI_GUID ESP_UNIQUE = {0x12345678, 0x9abc, 0xdef0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}};
constexpr EFI_GUID ESP2_UNIQUE = {0xfedcba98, 0x7654, 0x3210, {0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe}};
constexpr EFI_GUID ROOT_UNIQUE = {0xaaaaaaaa, 0xbbbb, 0xcccc, {0xdd, 0xdd, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee}};

const GptEntrySpec ESP = {ESP_PARTITION_TYPE_GUID, ESP_UNIQUE, 8, 23};
const GptEntrySpec ROOT = {LINUX_DATA_TYPE, ROOT_UNIQUE, 24, 47};

GptSpec standard_spec() {
    GptSpec spec;
    spec.entries = {ROOT, ESP};
    return spec;
}

bool same_node(const HARDDRIVE_DEVICE_PATH &a, const HARDDRIVE_DEVICE_PATH &b) { return memcmp(&a, &b, sizeof(a)) == 0; }

std::vector<EFI_LBA> read_lbas(const Disk &disk) {
    std::vector<EFI_LBA> lbas;
    for (const BlockRead &r : disk.reads())
        lbas.push_back(r.lba);
    return lbas;
}

// ---- try_gpt on one copy ----

class TryGpt : public ::testing::Test {
protected:
    Firmware fw;
    GptSpec spec = standard_spec();
    DiskBytes image = build_gpt_disk(spec);
    EFI_LBA backup = 0xdead;
    HARDDRIVE_DEVICE_PATH node = {};

    EFI_STATUS run(EFI_LBA lba, const EFI_GUID &type = ESP_PARTITION_TYPE_GUID) {
        Disk &disk = fw.block_devices().add_disk(image);
        return try_gpt(type, disk.protocol(), lba, &backup, &node);
    }
};

TEST_F(TryGpt, ValidPrimaryAndBackupGiveTheEspNode) {
    ASSERT_EQ(run(1), EFI_SUCCESS);
    EXPECT_TRUE(same_node(node, gpt_partition_node(ESP, 1)));
    EXPECT_EQ(node.PartitionNumber, 2u);
    EXPECT_EQ(node.PartitionSize, 16u);
    EXPECT_EQ(backup, spec.blocks - 1);

    node = {};
    Disk &disk = fw.block_devices().add_disk(image);
    ASSERT_EQ(try_gpt(ESP_PARTITION_TYPE_GUID, disk.protocol(), spec.blocks - 1, &backup, &node), EFI_SUCCESS);
    EXPECT_TRUE(same_node(node, gpt_partition_node(ESP, 1)));
    EXPECT_EQ(backup, 1u);
}

// Each mutation breaks one acceptance rule of a header whose checksums are otherwise right.
struct HeaderCase {
    const char *name;
    void (*mutate)(EFI_PARTITION_TABLE_HEADER *h);
    bool accepted;
};

const HeaderCase HEADER_CASES[] = {
    {"signature", [](EFI_PARTITION_TABLE_HEADER *h) { h->Header.Signature ^= 1; }, false},
    {"revision", [](EFI_PARTITION_TABLE_HEADER *h) { h->Header.Revision = 0x00010001; }, false},
    {"header size 91", [](EFI_PARTITION_TABLE_HEADER *h) { h->Header.HeaderSize = 91; }, false},
    {"header size 513", [](EFI_PARTITION_TABLE_HEADER *h) { h->Header.HeaderSize = 513; }, false},
    {"header size 512", [](EFI_PARTITION_TABLE_HEADER *h) { h->Header.HeaderSize = 512; }, true},
    {"my lba", [](EFI_PARTITION_TABLE_HEADER *h) { h->MyLBA = 2; }, false},
    {"entry size 129", [](EFI_PARTITION_TABLE_HEADER *h) { h->SizeOfPartitionEntry = 129; }, false},
    {"entry size 0", [](EFI_PARTITION_TABLE_HEADER *h) { h->SizeOfPartitionEntry = 0; }, false},
    {"no entries", [](EFI_PARTITION_TABLE_HEADER *h) { h->NumberOfPartitionEntries = 0; }, false},
    {"1025 entries", [](EFI_PARTITION_TABLE_HEADER *h) { h->NumberOfPartitionEntries = 1025; }, false},
};

TEST_F(TryGpt, HeaderAcceptanceRules) {
    for (const HeaderCase &c : HEADER_CASES) {
        SCOPED_TRACE(c.name);
        DiskBytes disk_image = image;
        c.mutate(gpt_header(disk_image, 1));
        gpt_reseal_header(disk_image, 1);
        Disk &disk = fw.block_devices().add_disk(disk_image);
        backup = 0xdead;
        EXPECT_EQ(try_gpt(ESP_PARTITION_TYPE_GUID, disk.protocol(), 1, &backup, &node),
                  c.accepted ? EFI_SUCCESS : EFI_NOT_FOUND);
        // The alternate LBA is taken before the checks.
        EXPECT_EQ(backup, spec.blocks - 1);
        // A rejected header never leads to its entry array.
        if (!c.accepted)
            EXPECT_EQ(read_lbas(disk), std::vector<EFI_LBA>{1});
    }
}

// The header's checksum covers HeaderSize bytes of the block, no more and no fewer.
TEST_F(TryGpt, HeaderCrcCoversHeaderSizeBytes) {
    EFI_PARTITION_TABLE_HEADER *h = gpt_header(image, 1);
    h->Header.HeaderSize = 200;
    image[GPT_BLOCK + 150] = 0x42;
    gpt_reseal_header(image, 1);
    image[GPT_BLOCK + 300] = 0x43; // beyond HeaderSize
    EXPECT_EQ(run(1), EFI_SUCCESS);

    image[GPT_BLOCK + 150] = 0x44; // inside it
    EXPECT_EQ(run(1), EFI_NOT_FOUND);
}

TEST_F(TryGpt, HeaderCrcMismatchAndFailingCrcServiceReject) {
    gpt_header(image, 1)->Header.CRC32 ^= 0x80;
    EXPECT_EQ(run(1), EFI_NOT_FOUND);

    image = build_gpt_disk(spec);
    fw.fail(Service::CalculateCrc32, EFI_DEVICE_ERROR);
    EXPECT_EQ(run(1), EFI_NOT_FOUND);
}

TEST_F(TryGpt, EntryArrayChecksum) {
    image[2 * GPT_BLOCK + 200] ^= 1;
    EXPECT_EQ(run(1), EFI_CRC_ERROR);
    EXPECT_EQ(backup, spec.blocks - 1);

    // The header passes, the array's checksum cannot be computed.
    image = build_gpt_disk(spec);
    fw.fail(Service::CalculateCrc32, EFI_DEVICE_ERROR, 1);
    EXPECT_EQ(run(1), EFI_CRC_ERROR);
}

TEST_F(TryGpt, ReadErrorsAreReturnedAsIs) {
    Disk &disk = fw.block_devices().add_disk(image);
    disk.fail_read(1, EFI_DEVICE_ERROR);
    EXPECT_EQ(try_gpt(ESP_PARTITION_TYPE_GUID, disk.protocol(), 1, &backup, &node), EFI_DEVICE_ERROR);
    EXPECT_EQ(backup, 0xdeadu);

    Disk &disk2 = fw.block_devices().add_disk(image);
    disk2.fail_read(2, EFI_NO_MEDIA);
    EXPECT_EQ(try_gpt(ESP_PARTITION_TYPE_GUID, disk2.protocol(), 1, &backup, &node), EFI_NO_MEDIA);
    EXPECT_EQ(backup, spec.blocks - 1);
}

TEST_F(TryGpt, HeaderIsReadAs512BytesIntoAZeroedBuffer) {
    ASSERT_EQ(run(1), EFI_SUCCESS);
    Disk &disk = fw.block_devices().add_disk(image);
    ASSERT_EQ(try_gpt(ESP_PARTITION_TYPE_GUID, disk.protocol(), 1, nullptr, &node), EFI_SUCCESS);
    ASSERT_EQ(disk.reads().size(), 2u);
    EXPECT_EQ(disk.reads()[0].lba, 1u);
    EXPECT_EQ(disk.reads()[0].size, 512u);
    EXPECT_EQ(disk.reads()[1].lba, 2u);
    EXPECT_EQ(disk.reads()[1].size, 512u); // 4 entries of 128 bytes
}

TEST_F(TryGpt, OneEntryTableChecksumCoversOnly128Bytes) {
    spec.entry_count = 1;
    spec.entries = {ESP};
    image = build_gpt_disk(spec);
    // Bytes after the one entry, inside the same block, are not part of the array.
    std::memset(image.data() + 2 * GPT_BLOCK + 128, 0x5a, GPT_BLOCK - 128);
    Disk &disk = fw.block_devices().add_disk(image);
    ASSERT_EQ(try_gpt(ESP_PARTITION_TYPE_GUID, disk.protocol(), 1, nullptr, &node), EFI_SUCCESS);
    EXPECT_EQ(node.PartitionNumber, 1u);
    EXPECT_EQ(disk.reads().back().size, 512u);
}

TEST_F(TryGpt, LargerEntriesAreSteppedBySizeOfPartitionEntry) {
    spec.entry_size = 256;
    spec.entries = {ROOT, ROOT, ESP};
    image = build_gpt_disk(spec);
    ASSERT_EQ(run(1), EFI_SUCCESS);
    EXPECT_TRUE(same_node(node, gpt_partition_node(ESP, 2)));
}

TEST_F(TryGpt, EntrySelection) {
    GptEntrySpec second_esp = {ESP_PARTITION_TYPE_GUID, ESP2_UNIQUE, 30, 40};
    GptEntrySpec backwards_esp = {ESP_PARTITION_TYPE_GUID, ESP_UNIQUE, 20, 19};

    spec.entries = {ROOT, second_esp, ESP};
    image = build_gpt_disk(spec);
    ASSERT_EQ(run(1), EFI_SUCCESS);
    EXPECT_TRUE(same_node(node, gpt_partition_node(second_esp, 1)));

    spec.entries = {backwards_esp, ROOT, ESP};
    image = build_gpt_disk(spec);
    ASSERT_EQ(run(1), EFI_SUCCESS);
    EXPECT_TRUE(same_node(node, gpt_partition_node(ESP, 2)));

    spec.entries = {backwards_esp, ROOT};
    image = build_gpt_disk(spec);
    EXPECT_EQ(run(1), EFI_NOT_FOUND);

    image = build_gpt_disk(standard_spec());
    ASSERT_EQ(run(1, LINUX_DATA_TYPE), EFI_SUCCESS);
    EXPECT_TRUE(same_node(node, gpt_partition_node(ROOT, 0)));
}

TEST_F(TryGpt, MaximalEntryCountIsAccepted) {
    spec.blocks = 600;
    spec.entry_count = 1024;
    spec.entries = {ROOT, ESP};
    image = build_gpt_disk(spec);
    ASSERT_EQ(run(1), EFI_SUCCESS);
    EXPECT_TRUE(same_node(node, gpt_partition_node(ESP, 1)));
}

// A valid header may describe an array larger than the firmware's memory, or than the disk:
// that copy cannot be read, and the machine keeps running.
TEST_F(TryGpt, UnallocatableEntryArrayIsAnUnreadableCopy) {
    fw.memory().limit_allocations(4096);
    gpt_header(image, 1)->NumberOfPartitionEntries = 64; // 8 KiB, on the disk
    gpt_reseal_header(image, 1);
    EXPECT_EQ(run(1), EFI_OUT_OF_RESOURCES);
}

TEST_F(TryGpt, AnEntryArrayBeyondTheDiskIsNotRead) {
    gpt_header(image, 1)->SizeOfPartitionEntry = 1u << 21;
    gpt_header(image, 1)->NumberOfPartitionEntries = 1024;
    gpt_reseal_header(image, 1);
    unsigned allocations = fw.calls(fakefw::Service::AllocatePool);
    EXPECT_EQ(run(1), EFI_INVALID_PARAMETER);
    EXPECT_EQ(fw.calls(fakefw::Service::AllocatePool), allocations);
}

TEST_F(TryGpt, NullBlockIoIsAnAssertion) {
    std::string text = fakefw::expect_halt([&] { (void) try_gpt(ESP_PARTITION_TYPE_GUID, nullptr, 1, nullptr, &node); });
    EXPECT_NE(text.find("Assertion 'block_io' failed"), std::string::npos) << text;
}

// ---- partition_open over the three copies ----

class PartitionOpen : public ::testing::Test {
protected:
    Firmware fw;
    GptSpec spec = standard_spec();
    DiskBytes image = build_gpt_disk(spec);
    Disk *disk = nullptr;
    EFI_HANDLE loaded_from = nullptr;
    DevicePathBytes loaded_path;

    // A disk with its root partition (where the image was loaded from) and its ESP.
    void make_disk() {
        disk = &fw.block_devices().add_disk(image);
        disk->add_partition(gpt_partition_node(ROOT, 0));
        disk->add_partition(gpt_partition_node(ESP, 1));
        loaded_path = disk->partition_path(gpt_partition_node(ROOT, 0));
        loaded_from = fw.handles().install(nullptr, EFI_DEVICE_PATH_PROTOCOL_GUID, loaded_path.data());
    }
    EFI_HANDLE esp_handle() const { return disk->partition_handles().at(1); }
    EFI_HANDLE open() {
        make_disk();
        return partition_open(ESP_PARTITION_TYPE_GUID, loaded_from);
    }
    void set_backup_away_from_last_block() {
        spec.backup_lba = spec.blocks - 5;
        image = build_gpt_disk(spec);
    }
};

TEST_F(PartitionOpen, FindsTheEspThroughThePrimaryTable) {
    EXPECT_EQ(open(), esp_handle());
    ASSERT_EQ(fw.block_devices().connects().size(), 1u);
    EXPECT_EQ(fw.block_devices().connects()[0].controller, disk->handle());
    EXPECT_TRUE(fw.block_devices().connects()[0].recursive);
    EXPECT_EQ(read_lbas(*disk), (std::vector<EFI_LBA>{1, 2}));
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
}

TEST_F(PartitionOpen, UnreadablePrimaryLearnsNoBackupAndUsesTheLastBlock) {
    set_backup_away_from_last_block();
    // The last block holds a valid copy of its own.
    DiskBytes at_end = image;
    std::memcpy(image.data() + (spec.blocks - 1) * GPT_BLOCK, gpt_header(at_end, spec.backup_lba), GPT_BLOCK);
    gpt_header(image, spec.blocks - 1)->MyLBA = spec.blocks - 1;
    gpt_reseal_header(image, spec.blocks - 1);
    make_disk();
    disk->fail_read(1, EFI_DEVICE_ERROR);
    EXPECT_EQ(partition_open(ESP_PARTITION_TYPE_GUID, loaded_from), esp_handle());
    std::vector<EFI_LBA> lbas = read_lbas(*disk);
    ASSERT_GE(lbas.size(), 2u);
    EXPECT_EQ(lbas[0], 1u);
    EXPECT_EQ(lbas[1], spec.blocks - 1);
}

TEST_F(PartitionOpen, BrokenPrimaryArrayLeadsToTheAlternateLba) {
    set_backup_away_from_last_block();
    image[2 * GPT_BLOCK + 300] ^= 1;
    EXPECT_EQ(open(), esp_handle());
    std::vector<EFI_LBA> lbas = read_lbas(*disk);
    ASSERT_EQ(lbas.size(), 4u);
    EXPECT_EQ(lbas[2], spec.backup_lba);
    EXPECT_EQ(lbas[3], gpt_header(image, spec.backup_lba)->PartitionEntryLBA);
}

TEST_F(PartitionOpen, UnreadablePrimaryArrayLeadsToTheAlternateLba) {
    make_disk();
    disk->fail_read(2, EFI_DEVICE_ERROR);
    EXPECT_EQ(partition_open(ESP_PARTITION_TYPE_GUID, loaded_from), esp_handle());
    EXPECT_EQ(read_lbas(*disk)[2], spec.blocks - 1);
}

TEST_F(PartitionOpen, BadPrimaryHeaderEndsTheSearch) {
    gpt_header(image, 1)->Header.CRC32 ^= 1;
    EXPECT_EQ(open(), nullptr);
    EXPECT_EQ(read_lbas(*disk), std::vector<EFI_LBA>{1});
}

TEST_F(PartitionOpen, ValidTableWithoutTheTypeEndsTheSearch) {
    spec.entries = {ROOT};
    image = build_gpt_disk(spec);
    make_disk();
    EXPECT_EQ(partition_open(ESP_PARTITION_TYPE_GUID, loaded_from), nullptr);
    EXPECT_EQ(read_lbas(*disk), (std::vector<EFI_LBA>{1, 2}));
}

TEST_F(PartitionOpen, NoAlternateLbaGoesStraightToTheLastBlock) {
    gpt_header(image, 1)->AlternateLBA = 0;
    gpt_reseal_header(image, 1);
    image[2 * GPT_BLOCK + 300] ^= 1;
    EXPECT_EQ(open(), esp_handle());
    std::vector<EFI_LBA> lbas = read_lbas(*disk);
    ASSERT_EQ(lbas.size(), 4u);
    EXPECT_EQ(lbas[2], spec.blocks - 1);
    EXPECT_EQ(std::count(lbas.begin(), lbas.end(), EFI_LBA(0)), 0);
}

TEST_F(PartitionOpen, AnInvalidBackupHeaderEndsTheSearch) {
    set_backup_away_from_last_block();
    // A valid copy waits at the last block, but the broken backup header comes first.
    DiskBytes valid = image;
    std::memcpy(image.data() + (spec.blocks - 1) * GPT_BLOCK, gpt_header(valid, spec.backup_lba), GPT_BLOCK);
    gpt_header(image, spec.blocks - 1)->MyLBA = spec.blocks - 1;
    gpt_reseal_header(image, spec.blocks - 1);
    image[2 * GPT_BLOCK + 300] ^= 1;
    gpt_header(image, spec.backup_lba)->Header.Revision = 0x00020000;
    gpt_reseal_header(image, spec.backup_lba);
    EXPECT_EQ(open(), nullptr);
    std::vector<EFI_LBA> lbas = read_lbas(*disk);
    EXPECT_EQ(lbas, (std::vector<EFI_LBA>{1, 2, spec.backup_lba}));
}

TEST_F(PartitionOpen, TheLastBlockCopyIsTheLastChance) {
    set_backup_away_from_last_block();
    image[2 * GPT_BLOCK + 300] ^= 1;
    make_disk();
    disk->fail_read(spec.backup_lba, EFI_DEVICE_ERROR);
    // The last block holds no header at all.
    EXPECT_EQ(partition_open(ESP_PARTITION_TYPE_GUID, loaded_from), nullptr);
    EXPECT_EQ(read_lbas(*disk), (std::vector<EFI_LBA>{1, 2, spec.backup_lba, spec.blocks - 1}));
}

TEST_F(PartitionOpen, AllThreeCopiesBrokenFails) {
    set_backup_away_from_last_block();
    make_disk();
    disk->fail_read(2, EFI_DEVICE_ERROR);
    disk->fail_read(gpt_header(image, spec.backup_lba)->PartitionEntryLBA, EFI_DEVICE_ERROR);
    disk->fail_read(spec.blocks - 1, EFI_DEVICE_ERROR);
    EXPECT_EQ(partition_open(ESP_PARTITION_TYPE_GUID, loaded_from), nullptr);
    std::vector<EFI_LBA> lbas = read_lbas(*disk);
    EXPECT_EQ(lbas.back(), spec.blocks - 1);
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
}

TEST_F(PartitionOpen, LastBlockIsNotTriedTwice) {
    make_disk();
    disk->fail_read(2, EFI_DEVICE_ERROR);
    disk->fail_read(gpt_header(image, spec.blocks - 1)->PartitionEntryLBA, EFI_DEVICE_ERROR);
    EXPECT_EQ(partition_open(ESP_PARTITION_TYPE_GUID, loaded_from), nullptr);
    std::vector<EFI_LBA> lbas = read_lbas(*disk);
    EXPECT_EQ(std::count(lbas.begin(), lbas.end(), spec.blocks - 1), 1);
}

TEST_F(PartitionOpen, MediumMustBeAWholePresentDisk) {
    make_disk();
    disk->media().LogicalPartition = 1;
    EXPECT_EQ(partition_open(ESP_PARTITION_TYPE_GUID, loaded_from), nullptr);
    disk->media().LogicalPartition = 0;
    disk->media().MediaPresent = 0;
    EXPECT_EQ(partition_open(ESP_PARTITION_TYPE_GUID, loaded_from), nullptr);
    disk->media().MediaPresent = 1;
    disk->media().LastBlock = 1;
    EXPECT_EQ(partition_open(ESP_PARTITION_TYPE_GUID, loaded_from), nullptr);
    EXPECT_TRUE(disk->reads().empty());
    disk->media().LastBlock = spec.blocks - 1;
    EXPECT_EQ(partition_open(ESP_PARTITION_TYPE_GUID, loaded_from), esp_handle());
}

TEST_F(PartitionOpen, TheLastHardDriveNodeFindsTheDisk) {
    // A decoy disk at the outer path carries an ESP of its own.
    GptSpec decoy_spec = standard_spec();
    decoy_spec.entries = {{ESP_PARTITION_TYPE_GUID, ESP2_UNIQUE, 8, 23}};
    Disk &decoy = fw.block_devices().add_disk(build_gpt_disk(decoy_spec));
    decoy.add_partition(gpt_partition_node(decoy_spec.entries[0], 0));

    // The real disk sits inside partition 1 of the decoy, as a nested table would.
    DevicePathBytes inner_disk_path = decoy.partition_path(gpt_partition_node(ROOT, 0));
    disk = &fw.block_devices().add_disk(image, inner_disk_path);
    disk->add_partition(gpt_partition_node(ROOT, 0));
    disk->add_partition(gpt_partition_node(ESP, 1));
    loaded_path = disk->partition_path(gpt_partition_node(ROOT, 0));
    loaded_from = fw.handles().install(nullptr, EFI_DEVICE_PATH_PROTOCOL_GUID, loaded_path.data());

    EXPECT_EQ(partition_open(ESP_PARTITION_TYPE_GUID, loaded_from), esp_handle());
    EXPECT_TRUE(decoy.reads().empty());
}

TEST_F(PartitionOpen, NoPartitionHandleForTheEntryGivesNone) {
    disk = &fw.block_devices().add_disk(image);
    disk->add_partition(gpt_partition_node(ROOT, 0));
    loaded_path = disk->partition_path(gpt_partition_node(ROOT, 0));
    loaded_from = fw.handles().install(nullptr, EFI_DEVICE_PATH_PROTOCOL_GUID, loaded_path.data());
    // The disk itself matches the front of the ESP's path, but it is not the ESP.
    EXPECT_EQ(partition_open(ESP_PARTITION_TYPE_GUID, loaded_from), nullptr);
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
}

TEST_F(PartitionOpen, DevicesWithoutAUsablePathGiveNone) {
    make_disk();
    DevicePathBytes no_hd = dp_path({dp_node(0x01, 0x01, {0, 0})});
    EFI_HANDLE plain = fw.handles().install(nullptr, EFI_DEVICE_PATH_PROTOCOL_GUID, no_hd.data());
    EXPECT_EQ(partition_open(ESP_PARTITION_TYPE_GUID, plain), nullptr);

    EFI_HANDLE pathless = fw.handles().create();
    int dummy = 0;
    fw.handles().install(pathless, EFI_BLOCK_IO_PROTOCOL_GUID, &dummy);
    EXPECT_EQ(partition_open(ESP_PARTITION_TYPE_GUID, pathless), nullptr);

    // A short node before any hard-drive node stops the walk.
    DevicePathBytes broken = dp_path({dp_node(0x01, 0x01, {0, 0})});
    broken[2] = 2;
    EFI_HANDLE bad = fw.handles().install(nullptr, EFI_DEVICE_PATH_PROTOCOL_GUID, broken.data());
    EXPECT_EQ(partition_open(ESP_PARTITION_TYPE_GUID, bad), nullptr);
    EXPECT_TRUE(disk->reads().empty());
}

TEST_F(PartitionOpen, FirmwareFailuresLeaveNothingBehind) {
    const Service services[] = {Service::LocateDevicePath, Service::HandleProtocol, Service::CalculateCrc32,
                                Service::BlockIoReadBlocks};
    for (Service s : services) {
        for (unsigned after = 0; after < 4; after++) {
            SCOPED_TRACE(std::string(fakefw::service_name(s)) + " after " + std::to_string(after));
            fw.fail(s, EFI_DEVICE_ERROR, after, 1);
            EFI_HANDLE found = open();
            EXPECT_TRUE(found == nullptr || found == esp_handle());
            EXPECT_EQ(fw.memory().live_pool_count(), 0u);
            fw.faults().clear(s);
        }
    }
}

TEST_F(PartitionOpen, ConnectFailureIsIgnored) {
    fw.fail(Service::ConnectController, EFI_NOT_FOUND);
    make_disk();
    disk->connect(); // the partitions were there before
    EXPECT_EQ(partition_open(ESP_PARTITION_TYPE_GUID, loaded_from), esp_handle());
}

TEST_F(PartitionOpen, NullDeviceIsAnAssertion) {
    std::string text = fakefw::expect_halt([] { (void) partition_open(ESP_PARTITION_TYPE_GUID, nullptr); });
    EXPECT_NE(text.find("Assertion 'device' failed"), std::string::npos) << text;
}

// ---- device_partition_uuid ----

DevicePathBytes harddrive_bytes(const HARDDRIVE_DEVICE_PATH &node) {
    const auto *p = reinterpret_cast<const uint8_t *>(&node);
    return DevicePathBytes(p, p + sizeof(node));
}

std::u16string take_text(char16_t *text) {
    PoolPtr<char16_t> owner(text);
    return text ? std::u16string(text) : std::u16string(u"(null)");
}

TEST(DevicePartitionUuid, GptNodeGivesUppercaseMixedEndianText) {
    Firmware fw;
    HARDDRIVE_DEVICE_PATH mbr = gpt_partition_node(ESP, 0);
    mbr.MBRType = 1;
    mbr.SignatureType = 1;
    DevicePathBytes path = dp_path({dp_node(0x01, 0x01, {0, 1}), harddrive_bytes(mbr),
                                    harddrive_bytes(gpt_partition_node(ESP, 3)), dp_file_node(u"\\x.efi")});
    EFI_HANDLE h = fw.handles().install(nullptr, EFI_DEVICE_PATH_PROTOCOL_GUID, path.data());
    // Data1..Data3 as numbers, Data4 in byte order.
    EXPECT_EQ(take_text(device_partition_uuid(h)), u"12345678-9ABC-DEF0-0123-456789ABCDEF");
}

TEST(DevicePartitionUuid, TheFirstGptNodeWinsAndFieldsAreZeroPadded) {
    Firmware fw;
    const EFI_GUID first = {0x0000abcd, 0x00ef, 0x0001, {0x00, 0x0f, 0xf0, 0xff, 0x01, 0x10, 0x80, 0x08}};
    const EFI_GUID second = {0x11111111, 0x2222, 0x3333, {4, 4, 5, 5, 5, 5, 5, 5}};
    DevicePathBytes path = dp_path({dp_node(0x01, 0x01, {0, 1}),
                                    harddrive_bytes(gpt_partition_node({ESP_PARTITION_TYPE_GUID, first, 8, 9}, 0)),
                                    harddrive_bytes(gpt_partition_node({ESP_PARTITION_TYPE_GUID, second, 8, 9}, 1))});
    EFI_HANDLE h = fw.handles().install(nullptr, EFI_DEVICE_PATH_PROTOCOL_GUID, path.data());
    std::u16string text = take_text(device_partition_uuid(h));
    EXPECT_EQ(text.size(), 36u);
    EXPECT_EQ(text, u"0000ABCD-00EF-0001-000F-F0FF01108008");
}

TEST(DevicePartitionUuid, NoGptNodeGivesNull) {
    Firmware fw;
    HARDDRIVE_DEVICE_PATH mbr = gpt_partition_node(ESP, 0);
    mbr.MBRType = 1;
    mbr.SignatureType = 1;
    DevicePathBytes mbr_only = dp_path({dp_node(0x01, 0x01, {0, 1}), harddrive_bytes(mbr)});
    DevicePathBytes none = dp_path({dp_node(0x01, 0x01, {0, 1}), dp_file_node(u"\\x.efi")});
    EFI_HANDLE a = fw.handles().install(nullptr, EFI_DEVICE_PATH_PROTOCOL_GUID, mbr_only.data());
    EFI_HANDLE b = fw.handles().install(nullptr, EFI_DEVICE_PATH_PROTOCOL_GUID, none.data());
    int dummy = 0;
    EFI_HANDLE c = fw.handles().install(nullptr, EFI_BLOCK_IO_PROTOCOL_GUID, &dummy);
    EXPECT_EQ(device_partition_uuid(a), nullptr);
    EXPECT_EQ(device_partition_uuid(b), nullptr);
    EXPECT_EQ(device_partition_uuid(c), nullptr);
    EXPECT_EQ(device_partition_uuid(nullptr), nullptr);
}

TEST(FakeCrc32, MatchesTheCheckValue) {
    Firmware fw;
    UINT32 crc = 0;
    ASSERT_EQ(fw.boot_services()->CalculateCrc32("123456789", 9, &crc), EFI_SUCCESS);
    EXPECT_EQ(crc, 0xcbf43926u);
    EXPECT_EQ(reference_crc32("123456789", 9), 0xcbf43926u);
}

} // namespace
