// Volumes, directories, listing, file information and whole-file reads on the fake firmware's
// file systems; the sidecar directory name, path tidying and the stable sort.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "boot/file-util.h"
#include "boot/util.h"
#include "fakefw/device-path-text.h"
#include "fakefw/fakefw.h"
#include "support/device-path-builder.h"

using fakefw::FileNode;
using fakefw::FileOp;
using fakefw::Firmware;
using fakefw::Service;
using fakefw::Volume;
using korvane::FileHandle;
using korvane::PoolPtr;
using namespace testsupport;

namespace {

constexpr size_t MIB = 0x100000;
constexpr size_t INFO_BUFFER = 80 + 256 * 2;

std::string assertion(const std::string &expression) { return "Assertion '" + expression + "' failed"; }

testing::AssertionResult contains(const std::string &text, const std::string &part) {
    if (text.find(part) != std::string::npos)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "\"" << text << "\" lacks \"" << part << "\"";
}

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = uint8_t(i * 7 + i / 251);
    return v;
}

std::u16string text(const char16_t *s) { return s ? std::u16string(s) : u"(null)"; }

const EFI_DEVICE_PATH_PROTOCOL *as_path(const DevicePathBytes &bytes) {
    return reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(bytes.data());
}

class Files : public ::testing::Test {
protected:
    Firmware fw;
    Volume &volume = fw.file_systems().add_volume();
    FileHandle root;

    void SetUp() override { ASSERT_EQ(korvane::open_volume_root(volume.handle(), root.out()), EFI_SUCCESS); }

    size_t open_files() { return fw.file_systems().open_count(); }
    size_t live_pool() { return fw.memory().live_pool_count(); }

    struct Read {
        EFI_STATUS status;
        std::vector<uint8_t> bytes; // the whole buffer, terminator bytes included
        size_t size;
    };
    Read read(const char16_t *name) {
        char *buf = nullptr;
        size_t size = 0;
        EFI_STATUS status = korvane::file_read(root.get(), name, &buf, &size);
        Read r{status, {}, size};
        if (buf) {
            size_t allocated = fw.memory().pool_size(buf);
            r.bytes.assign(buf, buf + allocated);
            korvane::free_pool(buf);
        }
        return r;
    }
};

TEST_F(Files, OpenVolumeRootHandsOutTheRootAndPassesFailuresOn) {
    EXPECT_EQ(open_files(), 1u);
    EXPECT_EQ(volume.open_volume_calls(), 1u);

    FileHandle other;
    EFI_HANDLE bare = fw.handles().install(nullptr, EFI_DEVICE_PATH_PROTOCOL_GUID, nullptr);
    EXPECT_EQ(korvane::open_volume_root(bare, other.out()), EFI_UNSUPPORTED);
    EXPECT_FALSE(other);

    volume.fail_open_volume(EFI_MEDIA_CHANGED, 0, 1);
    EXPECT_EQ(korvane::open_volume_root(volume.handle(), other.out()), EFI_MEDIA_CHANGED);
    EXPECT_FALSE(other);

    fw.fail(Service::HandleProtocol, EFI_DEVICE_ERROR, 0, 1);
    EXPECT_EQ(korvane::open_volume_root(volume.handle(), other.out()), EFI_DEVICE_ERROR);
    EXPECT_FALSE(other);
    EXPECT_EQ(open_files(), 1u);
}

TEST_F(Files, FileHandleClosesOnScopeExitAndReleaseHandsItOut) {
    volume.add_file(u"\\a", "x");
    EFI_FILE_PROTOCOL *kept = nullptr;
    {
        FileHandle a;
        ASSERT_EQ(root->Open(root.get(), a.out(), u"a", EFI_FILE_MODE_READ, 0), EFI_SUCCESS);
        FileHandle b;
        ASSERT_EQ(root->Open(root.get(), b.out(), u"a", EFI_FILE_MODE_READ, 0), EFI_SUCCESS);
        EXPECT_EQ(open_files(), 3u);
        FileHandle moved(korvane::move(b));
        EXPECT_FALSE(b);
        EXPECT_EQ(open_files(), 3u);
        // out() closes what was held before handing out the slot.
        ASSERT_EQ(root->Open(root.get(), moved.out(), u"a", EFI_FILE_MODE_READ, 0), EFI_SUCCESS);
        EXPECT_EQ(open_files(), 3u);
        kept = a.release();
    }
    EXPECT_EQ(open_files(), 2u);
    FileHandle again(kept);
    again.reset();
    EXPECT_EQ(open_files(), 1u);
}

TEST_F(Files, OpenDirectoryOpensDirectoriesOnly) {
    volume.add_directory(u"\\loader\\addons");
    volume.add_file(u"\\loader\\random-seed", pattern(32));

    FileHandle dir;
    ASSERT_EQ(korvane::open_directory(root.get(), u"\\LOADER\\Addons", dir.out()), EFI_SUCCESS);
    EXPECT_EQ(open_files(), 2u);
    EXPECT_EQ(live_pool(), 0u) << "the information record is freed";
    PoolPtr<EFI_FILE_INFO> info;
    ASSERT_EQ(korvane::get_file_info(dir.get(), info.out()), EFI_SUCCESS);
    EXPECT_EQ(text(info->FileName), u"addons");
    info.reset();
    dir.reset();

    EXPECT_EQ(korvane::open_directory(root.get(), u"\\loader\\random-seed", dir.out()), EFI_LOAD_ERROR);
    EXPECT_FALSE(dir);
    EXPECT_EQ(korvane::open_directory(root.get(), u"\\loader\\missing", dir.out()), EFI_NOT_FOUND);
    EXPECT_EQ(korvane::open_directory(root.get(), u"\\loader/addons", dir.out()), EFI_NOT_FOUND);
    EXPECT_EQ(open_files(), 1u);
    EXPECT_EQ(live_pool(), 0u);
}

TEST_F(Files, OpenDirectoryClosesWhatItOpenedWhenItsInformationFails) {
    FileNode &addons = volume.add_directory(u"\\loader\\addons");
    FileHandle dir;
    addons.fail(FileOp::GetInfo, EFI_DEVICE_ERROR, 0, 1);
    EXPECT_EQ(korvane::open_directory(root.get(), u"\\loader\\addons", dir.out()), EFI_DEVICE_ERROR);
    addons.fail(FileOp::Open, EFI_ACCESS_DENIED, 0, 1);
    EXPECT_EQ(korvane::open_directory(root.get(), u"\\loader\\addons", dir.out()), EFI_ACCESS_DENIED);
    EXPECT_FALSE(dir);
    EXPECT_EQ(open_files(), 1u);
    EXPECT_EQ(live_pool(), 0u);

    // A name too long for the standard buffer takes a second, larger request.
    std::u16string name(300, u'd');
    FileNode &deep = volume.add_directory(u"\\" + name);
    ASSERT_EQ(korvane::open_directory(root.get(), name.c_str(), dir.out()), EFI_SUCCESS);
    EXPECT_EQ(deep.calls(FileOp::GetInfo), 2u);
    dir.reset();

    EXPECT_TRUE(contains(fakefw::expect_halt([] { (void)korvane::open_directory(nullptr, u"x", nullptr); }),
                         assertion("root")));
}

TEST_F(Files, GetFileInfoUsesTheStandardBufferAndGrowsOnceForLongNames) {
    FileNode &seed = volume.add_file(u"\\seed", pattern(40));
    seed.set_attributes(EFI_FILE_READ_ONLY);
    FileHandle file;
    ASSERT_EQ(root->Open(root.get(), file.out(), u"SEED", EFI_FILE_MODE_READ, 0), EFI_SUCCESS);
    PoolPtr<EFI_FILE_INFO> info;
    ASSERT_EQ(korvane::get_file_info(file.get(), info.out()), EFI_SUCCESS);
    EXPECT_EQ(fw.memory().pool_size(info.get()), INFO_BUFFER);
    EXPECT_EQ(info->FileSize, 40u);
    EXPECT_EQ(info->Attribute, EFI_FILE_ARCHIVE | EFI_FILE_READ_ONLY);
    EXPECT_EQ(text(info->FileName), u"seed");
    EXPECT_EQ(seed.calls(FileOp::GetInfo), 1u);
    info.reset();

    // 255 units and the terminator still fit; one more does not.
    std::u16string fits(255, u'f'), longer(256, u'l');
    volume.add_file(u"\\" + fits, "");
    FileNode &big = volume.add_file(u"\\" + longer, "");
    ASSERT_EQ(root->Open(root.get(), file.out(), fits.c_str(), EFI_FILE_MODE_READ, 0), EFI_SUCCESS);
    ASSERT_EQ(korvane::get_file_info(file.get(), info.out()), EFI_SUCCESS);
    EXPECT_EQ(fw.memory().pool_size(info.get()), INFO_BUFFER);
    ASSERT_EQ(root->Open(root.get(), file.out(), longer.c_str(), EFI_FILE_MODE_READ, 0), EFI_SUCCESS);
    ASSERT_EQ(korvane::get_file_info(file.get(), info.out()), EFI_SUCCESS);
    EXPECT_EQ(fw.memory().pool_size(info.get()), 80u + 257 * 2);
    EXPECT_EQ(text(info->FileName), longer);
    EXPECT_EQ(big.calls(FileOp::GetInfo), 2u);
    info.reset();

    // Failures of the first or the retried request free the buffer.
    big.fail(FileOp::GetInfo, EFI_DEVICE_ERROR, 1, 1);
    EXPECT_EQ(korvane::get_file_info(file.get(), info.out()), EFI_DEVICE_ERROR);
    seed.fail(FileOp::GetInfo, EFI_VOLUME_CORRUPTED, 0, 1);
    ASSERT_EQ(root->Open(root.get(), file.out(), u"seed", EFI_FILE_MODE_READ, 0), EFI_SUCCESS);
    EXPECT_EQ(korvane::get_file_info(file.get(), info.out()), EFI_VOLUME_CORRUPTED);
    EXPECT_FALSE(info);
    EXPECT_EQ(live_pool(), 0u);
}

TEST_F(Files, ReaddirListsEveryEntryThenFreesItsBuffer) {
    volume.add_file(u"\\dir\\b.conf", "b");
    volume.add_directory(u"\\dir\\sub");
    volume.add_file(u"\\dir\\a.conf", "aa");
    FileHandle dir;
    ASSERT_EQ(korvane::open_directory(root.get(), u"dir", dir.out()), EFI_SUCCESS);

    EFI_FILE_INFO *buffer = nullptr;
    size_t size = 0;
    std::vector<std::u16string> names;
    std::vector<UINT64> attributes;
    for (;;) {
        ASSERT_EQ(korvane::readdir(dir.get(), &buffer, &size), EFI_SUCCESS);
        if (!buffer)
            break;
        EXPECT_EQ(size, INFO_BUFFER);
        EXPECT_EQ(fw.memory().pool_size(buffer), INFO_BUFFER);
        names.push_back(buffer->FileName);
        attributes.push_back(buffer->Attribute & EFI_FILE_DIRECTORY);
        ASSERT_LT(names.size(), 10u);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u".", u"..", u"b.conf", u"sub", u"a.conf"}));
    EXPECT_EQ(attributes, (std::vector<UINT64>{EFI_FILE_DIRECTORY, EFI_FILE_DIRECTORY, 0, EFI_FILE_DIRECTORY, 0}));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(live_pool(), 0u);

    // An empty directory ends on the first call.
    FileHandle empty;
    ASSERT_EQ(korvane::open_directory(root.get(), u"dir\\sub\\..\\sub", empty.out()), EFI_SUCCESS);
    ASSERT_EQ(korvane::readdir(empty.get(), &buffer, &size), EFI_SUCCESS); // "."
    ASSERT_EQ(korvane::readdir(empty.get(), &buffer, &size), EFI_SUCCESS); // ".."
    ASSERT_NE(buffer, nullptr);
    ASSERT_EQ(korvane::readdir(empty.get(), &buffer, &size), EFI_SUCCESS);
    EXPECT_EQ(buffer, nullptr);

    EXPECT_TRUE(
        contains(fakefw::expect_halt([&] { (void)korvane::readdir(nullptr, &buffer, &size); }), assertion("handle")));
}

TEST_F(Files, ReaddirGrowsItsBufferOnceForAnEntryThatDoesNotFit) {
    std::u16string long_name(300, u'n');
    FileNode &dir_node = volume.add_directory(u"\\d");
    volume.add_file(u"\\d\\" + long_name, "x");
    volume.add_file(u"\\d\\short", "y");
    FileHandle dir;
    ASSERT_EQ(korvane::open_directory(root.get(), u"\\d", dir.out()), EFI_SUCCESS);

    EFI_FILE_INFO *buffer = nullptr;
    size_t size = 0;
    for (int i = 0; i < 2; i++) // "." and ".."
        ASSERT_EQ(korvane::readdir(dir.get(), &buffer, &size), EFI_SUCCESS);
    const size_t needed = 80 + (300 + 1) * 2;
    ASSERT_EQ(korvane::readdir(dir.get(), &buffer, &size), EFI_SUCCESS);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(fw.memory().pool_size(buffer), needed);
    EXPECT_EQ(text(buffer->FileName), long_name);
    ASSERT_EQ(korvane::readdir(dir.get(), &buffer, &size), EFI_SUCCESS);
    EXPECT_EQ(text(buffer->FileName), u"short");
    EXPECT_EQ(size, needed) << "the larger buffer is kept";
    ASSERT_EQ(korvane::readdir(dir.get(), &buffer, &size), EFI_SUCCESS);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(dir_node.read_requests(),
              (std::vector<UINTN>{INFO_BUFFER, INFO_BUFFER, INFO_BUFFER, needed, needed, needed}));
}

TEST_F(Files, AfterAReaddirErrorTheBufferBelongsToTheCaller) {
    FileNode &d = volume.add_directory(u"\\d");
    volume.add_file(u"\\d\\" + std::u16string(300, u'n'), "x");
    FileHandle dir;
    ASSERT_EQ(korvane::open_directory(root.get(), u"\\d", dir.out()), EFI_SUCCESS);

    EFI_FILE_INFO *buffer = nullptr;
    size_t size = 0;
    d.fail(FileOp::Read, EFI_DEVICE_ERROR, 0, 1);
    EXPECT_EQ(korvane::readdir(dir.get(), &buffer, &size), EFI_DEVICE_ERROR);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(fw.memory().pool_size(buffer), size);
    for (int i = 0; i < 2; i++)
        ASSERT_EQ(korvane::readdir(dir.get(), &buffer, &size), EFI_SUCCESS);

    // The retry after the growth fails: the caller holds the grown buffer.
    d.fail(FileOp::Read, EFI_NO_MEDIA, 1, 1);
    EXPECT_EQ(korvane::readdir(dir.get(), &buffer, &size), EFI_NO_MEDIA);
    EXPECT_EQ(size, 80u + 301 * 2);
    EXPECT_EQ(fw.memory().pool_size(buffer), size);
    EXPECT_EQ(live_pool(), 1u);
    korvane::free_pool(buffer);
}

TEST_F(Files, FileReadTerminatesEvenAndOddContents) {
    volume.add_file(u"\\empty", "");
    volume.add_file(u"\\three", "abc");
    volume.add_file(u"\\four", "abcd");

    Read empty = read(u"empty");
    ASSERT_EQ(empty.status, EFI_SUCCESS);
    EXPECT_EQ(empty.size, 0u);
    EXPECT_EQ(empty.bytes, (std::vector<uint8_t>{0, 0}));
    EXPECT_TRUE(volume.find(u"empty")->read_requests().empty());

    Read three = read(u"THREE");
    ASSERT_EQ(three.status, EFI_SUCCESS);
    EXPECT_EQ(three.size, 3u);
    EXPECT_EQ(three.bytes, (std::vector<uint8_t>{'a', 'b', 'c', 0, 0, 0}));

    Read four = read(u"four");
    ASSERT_EQ(four.status, EFI_SUCCESS);
    EXPECT_EQ(four.size, 4u);
    EXPECT_EQ(four.bytes, (std::vector<uint8_t>{'a', 'b', 'c', 'd', 0, 0}));
    EXPECT_EQ(open_files(), 1u);
}

TEST_F(Files, FileReadAsksForAtMostOneMebibytePerRead) {
    std::vector<uint8_t> big = pattern(2 * MIB + 3);
    FileNode &node = volume.add_file(u"\\big", big);
    FileNode &exact = volume.add_file(u"\\exact", pattern(MIB));

    Read r = read(u"big");
    ASSERT_EQ(r.status, EFI_SUCCESS);
    EXPECT_EQ(r.size, big.size());
    EXPECT_EQ(node.read_requests(), (std::vector<UINTN>{MIB, MIB, 3}));
    ASSERT_EQ(r.bytes.size(), big.size() + 3);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), r.bytes.begin()));
    EXPECT_EQ(std::vector<uint8_t>(r.bytes.end() - 3, r.bytes.end()), (std::vector<uint8_t>{0, 0, 0}));

    ASSERT_EQ(read(u"exact").status, EFI_SUCCESS);
    EXPECT_EQ(exact.read_requests(), (std::vector<UINTN>{MIB}));

    // Short reads are followed by reads for the rest.
    std::vector<uint8_t> data = pattern(5000);
    FileNode &slow = volume.add_file(u"\\slow", data);
    slow.limit_reads(1500);
    Read s = read(u"slow");
    ASSERT_EQ(s.status, EFI_SUCCESS);
    EXPECT_EQ(s.size, 5000u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), s.bytes.begin()));
    EXPECT_EQ(slow.read_requests(), (std::vector<UINTN>{5000, 3500, 2000, 500}));
}

TEST_F(Files, AFileShorterThanItsInformationGivesWhatCouldBeRead) {
    FileNode &node = volume.add_file(u"\\short", "1234567");
    node.report_size(10);
    Read r = read(u"short");
    ASSERT_EQ(r.status, EFI_SUCCESS);
    EXPECT_EQ(r.size, 7u);
    EXPECT_EQ(node.read_requests(), (std::vector<UINTN>{10, 3}));
    // The buffer is sized for the information's 10 bytes. Seven bytes arrived, an odd count:
    // three zeros put the UTF-16 terminator at an even offset.
    ASSERT_EQ(r.bytes.size(), 12u);
    EXPECT_EQ(std::vector<uint8_t>(r.bytes.begin(), r.bytes.begin() + 10),
              (std::vector<uint8_t>{'1', '2', '3', '4', '5', '6', '7', 0, 0, 0}));

    FileNode &odd_info = volume.add_file(u"\\odd", "12345678");
    odd_info.report_size(9);
    Read o = read(u"odd");
    ASSERT_EQ(o.status, EFI_SUCCESS);
    EXPECT_EQ(o.size, 8u);
    ASSERT_EQ(o.bytes.size(), 12u);
    EXPECT_EQ(std::vector<uint8_t>(o.bytes.begin(), o.bytes.begin() + 10),
              (std::vector<uint8_t>{'1', '2', '3', '4', '5', '6', '7', '8', 0, 0}));

    FileNode &longer = volume.add_file(u"\\longer", "1234567890");
    longer.report_size(4);
    Read l = read(u"longer");
    EXPECT_EQ(l.size, 4u);
    EXPECT_EQ(l.bytes, (std::vector<uint8_t>{'1', '2', '3', '4', 0, 0}));
}

TEST_F(Files, FilesAbove16GiBAreRefusedBeforeAnythingIsAllocated) {
    const uint64_t limit = uint64_t(16) << 30;
    FileNode &huge = volume.add_file(u"\\huge", "tiny");
    huge.report_size(limit + 1);
    unsigned allocations = fw.calls(Service::AllocatePool);
    Read r = read(u"huge");
    EXPECT_EQ(r.status, EFI_BAD_BUFFER_SIZE);
    EXPECT_TRUE(r.bytes.empty());
    EXPECT_TRUE(huge.read_requests().empty());
    EXPECT_EQ(fw.calls(Service::AllocatePool) - allocations, 1u) << "the information buffer only";
    EXPECT_EQ(open_files(), 1u);
    EXPECT_EQ(live_pool(), 0u);

    // At the limit itself the read goes ahead and asks for the buffer, which the fake cannot
    // give: a file that cannot be read, not a halt.
    huge.report_size(limit);
    EXPECT_EQ(read(u"huge").status, EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(open_files(), 1u);
    EXPECT_EQ(live_pool(), 0u);
}

TEST_F(Files, FileReadFailuresCloseTheFileAndFreeTheBuffer) {
    FileNode &node = volume.add_file(u"\\data", pattern(3 * MIB));
    node.fail(FileOp::Read, EFI_DEVICE_ERROR, 1, 1);
    char *buf = nullptr;
    size_t size = 77;
    EXPECT_EQ(korvane::file_read(root.get(), u"data", &buf, &size), EFI_DEVICE_ERROR);
    EXPECT_EQ(node.read_requests().size(), 2u);
    node.fail(FileOp::GetInfo, EFI_VOLUME_CORRUPTED, 0, 1);
    EXPECT_EQ(korvane::file_read(root.get(), u"data", &buf, &size), EFI_VOLUME_CORRUPTED);
    node.fail(FileOp::Open, EFI_ACCESS_DENIED, 0, 1);
    EXPECT_EQ(korvane::file_read(root.get(), u"data", &buf, &size), EFI_ACCESS_DENIED);
    EXPECT_EQ(korvane::file_read(root.get(), u"missing", &buf, &size), EFI_NOT_FOUND);
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(size, 77u);
    EXPECT_EQ(open_files(), 1u);
    EXPECT_EQ(live_pool(), 0u);
}

TEST_F(Files, FileReadReadsRelativeToTheGivenDirectory) {
    volume.add_file(u"\\loader\\credentials\\a.cred", "secret");
    FileHandle dir;
    ASSERT_EQ(korvane::open_directory(root.get(), u"\\loader\\credentials", dir.out()), EFI_SUCCESS);
    char *buf = nullptr;
    size_t size = 0;
    ASSERT_EQ(korvane::file_read(dir.get(), u"a.cred", &buf, &size), EFI_SUCCESS);
    EXPECT_EQ(std::string(buf), "secret");
    korvane::free_pool(buf);
    EXPECT_EQ(size, 6u);
}

TEST_F(Files, FileReadHaltsOnFirmwareThatDeliversMoreThanAsked) {
    volume.add_file(u"\\liar", "0123456789").overstate_reads(1);
    EXPECT_TRUE(contains(fakefw::expect_halt([&] { (void)read(u"liar"); }), assertion("chunk <= remaining")));
}

TEST_F(Files, FileReadHaltsOnMissingArguments) {
    char *buf = nullptr;
    size_t size = 0;
    EXPECT_TRUE(
        contains(fakefw::expect_halt([&] { (void)korvane::file_read(nullptr, u"x", &buf, &size); }), assertion("dir")));
}

TEST_F(Files, FileReadHaltsOnAMissingName) {
    char *buf = nullptr;
    size_t size = 0;
    EXPECT_TRUE(contains(fakefw::expect_halt([&] { (void)korvane::file_read(root.get(), nullptr, &buf, &size); }),
                         assertion("name")));
}

class ExtraDir : public ::testing::Test {
protected:
    Firmware fw;

    std::u16string extra_dir(const DevicePathBytes &path) {
        PoolPtr<char16_t> dir(korvane::image_extra_dir(as_path(path)));
        return text(dir.get());
    }
};

TEST_F(ExtraDir, IsTheImagePathWithoutBootCounterAndWithExtraD) {
    EXPECT_EQ(extra_dir(dp_path({dp_file_node(u"\\EFI\\images\\os.efi")})), u"\\EFI\\images\\os.efi.extra.d");
    EXPECT_EQ(extra_dir(dp_path({dp_file_node(u"\\EFI\\images\\os+5.efi")})), u"\\EFI\\images\\os.efi.extra.d");
    EXPECT_EQ(extra_dir(dp_path({dp_file_node(u"\\EFI\\images\\os+3-1.efi")})), u"\\EFI\\images\\os.efi.extra.d");
    EXPECT_EQ(extra_dir(dp_path({dp_file_node(u"\\EFI\\images\\os+x.efi")})), u"\\EFI\\images\\os+x.efi.extra.d");
    EXPECT_EQ(extra_dir(dp_path({dp_file_node(u"/EFI//images/os.efi")})), u"\\EFI\\images\\os.efi.extra.d");
    // Several file nodes are joined, and doubled separators collapse.
    EXPECT_EQ(extra_dir(dp_path({dp_file_node(u"\\EFI\\images"), dp_file_node(u"os+2-0.efi")})),
              u"\\EFI\\images\\os.efi.extra.d");
    EXPECT_EQ(extra_dir(dp_path({dp_file_node(u"\\EFI\\"), dp_file_node(u"\\os.efi")})), u"\\EFI\\os.efi.extra.d");
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
}

TEST_F(ExtraDir, IsNoneUnlessThePathHoldsFileNodesOnly) {
    DevicePathBytes hd = dp_node(MEDIA_DEVICE_PATH, MEDIA_HARDDRIVE_DP, std::vector<uint8_t>(38));
    EXPECT_EQ(extra_dir(dp_path({hd, dp_file_node(u"\\EFI\\os.efi")})), u"(null)");
    EXPECT_EQ(extra_dir(dp_path({dp_file_node(u"\\EFI"), dp_end_instance_node(), dp_file_node(u"os.efi")})), u"(null)");
    EXPECT_EQ(extra_dir(dp_path({})), u"(null)");
    EXPECT_EQ(korvane::image_extra_dir(nullptr), nullptr);
    // A file node too short to be a node ends the walk instead of looping on it.
    DevicePathBytes broken = {MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, 0, 0};
    EXPECT_EQ(extra_dir(dp_path({broken})), u"(null)");
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
}

TEST_F(ExtraDir, UsesTheFirmwareTextWhenThereIsOne) {
    fakefw::DevicePathText to_text(fw);
    to_text.install();
    DevicePathBytes path = dp_path({dp_file_node(u"\\EFI\\images"), dp_file_node(u"os+1-2.efi")});
    EXPECT_EQ(extra_dir(path), u"\\EFI\\images\\os.efi.extra.d");
    ASSERT_EQ(to_text.calls().size(), 1u);
    EXPECT_EQ(to_text.calls()[0].path, path);
    EXPECT_EQ(to_text.calls()[0].display_only, 0);
    EXPECT_EQ(to_text.calls()[0].allow_shortcuts, 0);
    // The firmware's text of the end node alone is empty: no directory, not a relative ".extra.d".
    EXPECT_EQ(extra_dir(dp_path({})), u"(null)");

    to_text.run_out_of_memory();
    EXPECT_EQ(extra_dir(path), u"(null)");
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
}

TEST(ConvertEfiPath, TurnsSlashesIntoBackslashesAndCollapsesRuns) {
    Firmware fw;
    const std::pair<std::u16string, std::u16string> cases[] = {
        {u"/EFI//images/a.efi", u"\\EFI\\images\\a.efi"},
        {u"\\\\\\", u"\\"},
        {u"", u""},
        {u"a/", u"a\\"},
        {u"//a", u"\\a"},
        {u"a\\/\\/b", u"a\\b"},
        {u"plain.efi", u"plain.efi"},
    };
    for (auto &[in, out] : cases) {
        std::u16string s = in;
        korvane::convert_efi_path(s.data());
        EXPECT_EQ(text(s.c_str()), out) << "from " << fakefw::to_utf8(in);
    }
    EXPECT_TRUE(contains(fakefw::expect_halt([] { korvane::convert_efi_path(nullptr); }), assertion("path")));
}

TEST(StripBootCounter, RemovesOnlyAWellFormedFirstCounter) {
    Firmware fw;
    const std::pair<std::u16string, std::u16string> cases[] = {
        {u"os+3.efi", u"os.efi"},
        {u"os+3-1.efi", u"os.efi"},
        {u"os+3", u"os"},
        {u"os+3-0", u"os"},
        {u"+1", u""},
        {u"os+007.efi", u"os.efi"},
        {u"os+3.tar.efi", u"os.tar.efi"},
        {u"os+1.efi+2", u"os.efi+2"},
        {u"os+18446744073709551615.efi", u"os.efi"},
        // Left as they are:
        {u"os+18446744073709551616.efi", u"os+18446744073709551616.efi"},
        {u"os+1-18446744073709551616.efi", u"os+1-18446744073709551616.efi"},
        {u"os+.efi", u"os+.efi"},
        {u"os+x.efi", u"os+x.efi"},
        {u"os+3-.efi", u"os+3-.efi"},
        {u"os+-3.efi", u"os+-3.efi"},
        {u"os+3-1-2.efi", u"os+3-1-2.efi"},
        {u"os+3x.efi", u"os+3x.efi"},
        // Only the file name carries a counter.
        {u"a+b\\os+3.efi", u"a+b\\os.efi"},
        {u"\\EFI\\v+1.2\\os.efi", u"\\EFI\\v+1.2\\os.efi"},
        {u"no counter", u"no counter"},
    };
    for (auto &[in, out] : cases) {
        std::u16string s = in;
        korvane::strip_boot_counter(s.data());
        EXPECT_EQ(text(s.c_str()), out) << "from " << fakefw::to_utf8(in);
    }
}

struct Item {
    int key;
    int id;
};

int compare_items(const void *a, const void *b) {
    int x = static_cast<const Item *>(a)->key, y = static_cast<const Item *>(b)->key;
    return (x > y) - (x < y);
}

int compare_names(const void *a, const void *b) {
    return korvane::str16_compare(static_cast<const char16_t *>(a), static_cast<const char16_t *>(b));
}

int never_called(const void *, const void *) {
    ADD_FAILURE() << "compared with fewer than two members";
    return 0;
}

TEST(SortPointerArray, IsStableAndAgreesWithAStableSort) {
    Firmware fw;
    std::mt19937 rng(12345);
    for (int round = 0; round < 200; round++) {
        std::vector<Item> items(rng() % 24);
        for (size_t i = 0; i < items.size(); i++)
            items[i] = {int(rng() % 5), int(i)};
        std::vector<void *> array;
        for (Item &i : items)
            array.push_back(&i);
        std::vector<Item> expected = items;
        std::stable_sort(expected.begin(), expected.end(), [](const Item &a, const Item &b) { return a.key < b.key; });

        korvane::sort_pointer_array(array.data(), array.size(), compare_items);
        for (size_t i = 0; i < array.size(); i++) {
            EXPECT_EQ(static_cast<Item *>(array[i])->key, expected[i].key);
            EXPECT_EQ(static_cast<Item *>(array[i])->id, expected[i].id);
        }
    }
}

TEST(SortPointerArray, SortsNamesByCodeUnit) {
    Firmware fw;
    std::u16string names[] = {u"b.cred", u"a.cred", u"B.cred", u"a", u"\u00e9", u"a.cred"};
    std::vector<void *> array;
    for (auto &n : names)
        array.push_back(n.data());
    korvane::sort_pointer_array(array.data(), array.size(), compare_names);
    std::vector<std::u16string> sorted;
    for (void *p : array)
        sorted.push_back(static_cast<char16_t *>(p));
    EXPECT_EQ(sorted, (std::vector<std::u16string>{u"B.cred", u"a", u"a.cred", u"a.cred", u"b.cred", u"\u00e9"}));
    EXPECT_EQ(array[2], names[1].data()) << "equal names keep their order";
    EXPECT_EQ(array[3], names[5].data());
}

TEST(SortPointerArray, FewerThanTwoMembersAreLeftAlone) {
    Firmware fw;
    korvane::sort_pointer_array(nullptr, 0, never_called);
    Item one = {1, 0};
    void *array[] = {&one};
    korvane::sort_pointer_array(array, 1, never_called);
    EXPECT_EQ(array[0], &one);
    EXPECT_TRUE(contains(fakefw::expect_halt([] { korvane::sort_pointer_array(nullptr, 2, compare_items); }),
                         assertion("array || n_members == 0")));
}

} // namespace
