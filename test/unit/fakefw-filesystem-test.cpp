// The fake firmware's file systems and device-path-to-text protocol behave as the stub's tests
// rely on: FAT-like lookup, listing, positions and writes, and loud leaks.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "boot/firmware.h"
#include "fakefw/device-path-text.h"
#include "fakefw/fakefw.h"
#include "support/device-path-builder.h"

using fakefw::FileNode;
using fakefw::FileOp;
using fakefw::Firmware;
using fakefw::Volume;

namespace {

class FakeVolume : public ::testing::Test {
protected:
    Firmware fw;
    Volume &volume = fw.file_systems().add_volume();
    EFI_FILE_PROTOCOL *root = nullptr;

    void SetUp() override { ASSERT_EQ(volume.protocol()->OpenVolume(volume.protocol(), &root), EFI_SUCCESS); }
    void TearDown() override {
        if (root)
            root->Close(root);
    }

    EFI_STATUS open(EFI_FILE_PROTOCOL *from, const char16_t *name, UINT64 mode, EFI_FILE_PROTOCOL **out,
                    UINT64 attributes = 0) {
        return from->Open(from, out, name, mode, attributes);
    }

    // The status of one Read of a directory and the name of the entry it delivered.
    std::pair<EFI_STATUS, std::u16string> next_entry(EFI_FILE_PROTOCOL *dir, UINTN buffer_size, UINTN *size) {
        std::vector<uint8_t> buf(buffer_size);
        *size = buffer_size;
        EFI_STATUS status = dir->Read(dir, size, buf.data());
        if (status != EFI_SUCCESS || *size == 0)
            return {status, u""};
        return {status, reinterpret_cast<EFI_FILE_INFO *>(buf.data())->FileName};
    }

    // The name GetInfo reports for `file`.
    std::u16string name_of(EFI_FILE_PROTOCOL *file) {
        std::vector<uint8_t> buf(1024);
        UINTN size = buf.size();
        EXPECT_EQ(file->GetInfo(file, &EFI_FILE_INFO_ID, &size, buf.data()), EFI_SUCCESS);
        return reinterpret_cast<EFI_FILE_INFO *>(buf.data())->FileName;
    }
};

constexpr UINT64 READ = EFI_FILE_MODE_READ;
constexpr UINT64 READ_WRITE = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE;

TEST_F(FakeVolume, LooksUpNamesLikeFat) {
    volume.add_file(u"\\EFI\\Linux\\Kernel.efi", "k");
    volume.add_file(u"\\EFI\\top.txt", "t");
    EFI_FILE_PROTOCOL *f = nullptr, *dir = nullptr;

    ASSERT_EQ(open(root, u"\\efi\\LINUX\\kernel.EFI", READ, &f), EFI_SUCCESS);
    EXPECT_EQ(name_of(f), u"Kernel.efi");
    f->Close(f);

    ASSERT_EQ(open(root, u"EFI\\\\Linux\\", READ, &dir), EFI_SUCCESS);
    ASSERT_EQ(open(dir, u"Kernel.efi", READ, &f), EFI_SUCCESS) << "relative to the directory";
    f->Close(f);
    ASSERT_EQ(open(dir, u"..\\top.txt", READ, &f), EFI_SUCCESS);
    f->Close(f);
    ASSERT_EQ(open(dir, u".\\.\\Kernel.efi", READ, &f), EFI_SUCCESS);
    f->Close(f);
    ASSERT_EQ(open(dir, u"\\EFI\\top.txt", READ, &f), EFI_SUCCESS) << "absolute from any directory";
    f->Close(f);
    dir->Close(dir);

    EXPECT_EQ(open(root, u"EFI/top.txt", READ, &f), EFI_NOT_FOUND) << "'/' is no separator";
    EXPECT_EQ(open(root, u"EFI\\top.txt\\x", READ, &f), EFI_NOT_FOUND);
    EXPECT_EQ(open(root, u"..", READ, &f), EFI_NOT_FOUND);
    EXPECT_EQ(open(root, u"EFI\\missing", READ, &f), EFI_NOT_FOUND);
    EXPECT_EQ(open(root, u"EFI", EFI_FILE_MODE_WRITE, &f), EFI_INVALID_PARAMETER);
    EXPECT_EQ(fw.file_systems().open_count(), 1u);
}

TEST_F(FakeVolume, ListsDotEntriesThenEntriesAndReportsTheNeededSize) {
    volume.add_file(u"\\d\\z", "zz");
    volume.add_directory(u"\\d\\a");
    EFI_FILE_PROTOCOL *dir = nullptr;
    ASSERT_EQ(open(root, u"d", READ, &dir), EFI_SUCCESS);

    auto next = [&](UINTN buffer_size, UINTN *size) { return next_entry(dir, buffer_size, size); };
    UINTN size = 0;
    EXPECT_EQ(next(10, &size).first, EFI_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 80u + 2 * 2);
    EXPECT_EQ(next(size, &size).second, u".") << "a too small buffer does not advance";
    EXPECT_EQ(next(200, &size).second, u"..");
    EXPECT_EQ(next(200, &size).second, u"z");
    EXPECT_EQ(next(200, &size).second, u"a");
    EXPECT_EQ(next(200, &size).first, EFI_SUCCESS);
    EXPECT_EQ(size, 0u);

    ASSERT_EQ(dir->SetPosition(dir, 0), EFI_SUCCESS);
    EXPECT_EQ(next(200, &size).second, u".");
    EXPECT_EQ(dir->SetPosition(dir, 1), EFI_UNSUPPORTED);
    dir->Close(dir);

    // The root has no dot entries.
    dir = root;
    EXPECT_EQ(next(200, &size).second, u"d");
}

TEST_F(FakeVolume, WritesAtThePositionAndHonoursModes) {
    FileNode &seed = volume.add_file(u"\\loader\\random-seed", std::vector<uint8_t>(40, 0x11));
    EFI_FILE_PROTOCOL *f = nullptr;
    ASSERT_EQ(open(root, u"\\loader\\random-seed", READ_WRITE, &f), EFI_SUCCESS);

    ASSERT_EQ(f->SetPosition(f, 32), EFI_SUCCESS);
    std::vector<uint8_t> zeros(8, 0);
    UINTN n = zeros.size();
    ASSERT_EQ(f->Write(f, &n, zeros.data()), EFI_SUCCESS);
    EXPECT_EQ(n, 8u);
    UINT64 position = 0;
    ASSERT_EQ(f->GetPosition(f, &position), EFI_SUCCESS);
    EXPECT_EQ(position, 40u);
    std::vector<uint8_t> expected(32, 0x11);
    expected.resize(40, 0);
    EXPECT_EQ(seed.contents(), expected);

    // Past the end the gap fills with zeros; all ones moves to the end.
    ASSERT_EQ(f->SetPosition(f, 42), EFI_SUCCESS);
    n = 1;
    uint8_t b = 0x77;
    ASSERT_EQ(f->Write(f, &n, &b), EFI_SUCCESS);
    EXPECT_EQ(seed.contents().size(), 43u);
    EXPECT_EQ(seed.contents()[41], 0);
    ASSERT_EQ(f->SetPosition(f, ~UINT64(0)), EFI_SUCCESS);
    ASSERT_EQ(f->GetPosition(f, &position), EFI_SUCCESS);
    EXPECT_EQ(position, 43u);
    ASSERT_EQ(f->SetPosition(f, 50), EFI_SUCCESS);
    n = 1;
    EXPECT_EQ(f->Read(f, &n, &b), EFI_DEVICE_ERROR) << "reading beyond the end";

    seed.limit_writes(3);
    ASSERT_EQ(f->SetPosition(f, 0), EFI_SUCCESS);
    n = 8;
    ASSERT_EQ(f->Write(f, &n, zeros.data()), EFI_SUCCESS);
    EXPECT_EQ(n, 3u);
    seed.fail(FileOp::Write, EFI_VOLUME_FULL, 0, 1);
    EXPECT_EQ(f->Write(f, &n, zeros.data()), EFI_VOLUME_FULL);
    EXPECT_EQ(f->Flush(f), EFI_SUCCESS);
    seed.fail(FileOp::Flush, EFI_DEVICE_ERROR, 0, 1);
    EXPECT_EQ(f->Flush(f), EFI_DEVICE_ERROR);
    EXPECT_EQ(seed.calls(FileOp::Flush), 2u);
    f->Close(f);

    ASSERT_EQ(open(root, u"\\loader\\random-seed", READ, &f), EFI_SUCCESS);
    n = 1;
    EXPECT_EQ(f->Write(f, &n, &b), EFI_ACCESS_DENIED);
    EXPECT_EQ(f->Flush(f), EFI_ACCESS_DENIED);
    f->Close(f);

    seed.set_attributes(EFI_FILE_READ_ONLY);
    EXPECT_EQ(open(root, u"\\loader\\random-seed", READ_WRITE, &f), EFI_ACCESS_DENIED);
    volume.set_read_only(true);
    EXPECT_EQ(open(root, u"\\loader\\random-seed", READ_WRITE, &f), EFI_WRITE_PROTECTED);
    EXPECT_EQ(open(root, u"\\new", READ_WRITE | EFI_FILE_MODE_CREATE, &f), EFI_WRITE_PROTECTED);
}

TEST_F(FakeVolume, CreatesAndDeletesFiles) {
    EFI_FILE_PROTOCOL *f = nullptr;
    volume.add_directory(u"\\full\\x");
    ASSERT_EQ(open(root, u"\\full\\new.txt", READ_WRITE | EFI_FILE_MODE_CREATE, &f), EFI_SUCCESS);
    ASSERT_NE(volume.find(u"\\FULL\\NEW.TXT"), nullptr);
    EXPECT_EQ(f->Delete(f), EFI_SUCCESS);
    EXPECT_EQ(volume.find(u"\\full\\new.txt"), nullptr);

    ASSERT_EQ(open(root, u"full", READ_WRITE, &f), EFI_SUCCESS);
    EXPECT_EQ(f->Delete(f), EFI_WARN_DELETE_FAILURE) << "not empty";
    EXPECT_NE(volume.find(u"full"), nullptr);
    EXPECT_EQ(fw.file_systems().open_count(), 1u) << "Delete closes the handle either way";
    EXPECT_EQ(open(root, u"nodir\\new", READ_WRITE | EFI_FILE_MODE_CREATE, &f), EFI_NOT_FOUND);

    // A test may take a node out of the tree that holds its only reference.
    volume.remove(volume.add_file(u"\\full\\gone", "x"));
    EXPECT_EQ(volume.find(u"\\full\\gone"), nullptr);
}

TEST_F(FakeVolume, SitsOnAHandleWithItsDevicePath) {
    void *path = nullptr;
    ASSERT_EQ(korvane::BS->HandleProtocol(volume.handle(), &EFI_DEVICE_PATH_PROTOCOL_GUID, &path), EFI_SUCCESS);
    EXPECT_EQ(path, volume.device_path());
    const auto *hd = static_cast<const HARDDRIVE_DEVICE_PATH *>(path);
    EXPECT_EQ(hd->Header.Type, MEDIA_DEVICE_PATH);
    EXPECT_EQ(hd->Header.SubType, MEDIA_HARDDRIVE_DP);
    EXPECT_EQ(hd->PartitionNumber, 1u);

    testsupport::DevicePathBytes own = testsupport::dp_path({testsupport::dp_node(1, 1, {0, 2})});
    Volume &second = fw.file_systems().add_volume(own);
    ASSERT_EQ(korvane::BS->HandleProtocol(second.handle(), &EFI_DEVICE_PATH_PROTOCOL_GUID, &path), EFI_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(static_cast<uint8_t *>(path), static_cast<uint8_t *>(path) + own.size()), own);
    EXPECT_NE(second.handle(), volume.handle());
}

TEST(FakeFileLeaks, AnOpenHandleFailsTheTestWithItsPath) {
    EXPECT_NONFATAL_FAILURE(
        {
            Firmware fw;
            Volume &volume = fw.file_systems().add_volume();
            volume.add_file(u"\\loader\\x.conf", "");
            EFI_FILE_PROTOCOL *root = nullptr;
            EFI_FILE_PROTOCOL *f = nullptr;
            volume.protocol()->OpenVolume(volume.protocol(), &root);
            root->Open(root, &f, u"loader\\X.CONF", EFI_FILE_MODE_READ, 0);
            root->Close(root);
        },
        "open file: \\loader\\x.conf on volume 0");

    Firmware fw;
    Volume &volume = fw.file_systems().add_volume();
    EFI_FILE_PROTOCOL *root = nullptr;
    volume.protocol()->OpenVolume(volume.protocol(), &root);
    bool clean = true;
    EXPECT_NONFATAL_FAILURE(clean = fw.check_leaks(), "open file: \\ on volume 0");
    EXPECT_FALSE(clean);
    root->Close(root);
    EXPECT_TRUE(fw.check_leaks());
    EXPECT_NONFATAL_FAILURE(root->Close(root), "closed handle");
}

TEST(FakeDevicePathText, IsAbsentUntilInstalledAndHandsOutPoolText) {
    Firmware fw;
    void *protocol = nullptr;
    EXPECT_EQ(korvane::BS->LocateProtocol(&EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID, nullptr, &protocol), EFI_NOT_FOUND);
    fakefw::DevicePathText to_text(fw);
    to_text.install();
    ASSERT_EQ(korvane::BS->LocateProtocol(&EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID, nullptr, &protocol), EFI_SUCCESS);
    auto *p = static_cast<EFI_DEVICE_PATH_TO_TEXT_PROTOCOL *>(protocol);

    std::vector<uint8_t> hd(42);
    hd[0] = MEDIA_DEVICE_PATH;
    hd[1] = MEDIA_HARDDRIVE_DP;
    hd[2] = 42;
    hd[4] = 3;    // partition 3
    hd[8] = 0x01; // start 0x801
    hd[9] = 0x08;
    hd[16] = 0x10; // size 0x10
    hd[24] = 0x78; // MBR signature 0x12345678
    hd[25] = 0x56;
    hd[26] = 0x34;
    hd[27] = 0x12;
    hd[40] = MBR_TYPE_PCAT;
    hd[41] = SIGNATURE_TYPE_MBR;
    testsupport::DevicePathBytes path =
        testsupport::dp_path({hd, testsupport::dp_end_instance_node(), testsupport::dp_node(3, 5, {0xab}),
                              testsupport::dp_file_node(u"\\x")});
    CHAR16 *text = p->ConvertDevicePathToText(reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(path.data()), 1, 0);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::u16string(text), u"HD(3,MBR,0x12345678,0x801,0x10),Path(3,5,AB)/\\x");
    ASSERT_NE(fw.memory().pool(text), nullptr);
    EXPECT_EQ(fw.memory().pool(text)->type, EfiBootServicesData);
    korvane::BS->FreePool(text);
    ASSERT_EQ(to_text.calls().size(), 1u);
    EXPECT_EQ(to_text.calls()[0].display_only, 1);
    EXPECT_EQ(to_text.calls()[0].path, path);
}

} // namespace
