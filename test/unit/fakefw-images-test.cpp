// The fake image loader and LocateDevicePath, which the launch tests build on.
#include <gtest/gtest.h>

#include <cstring>

#include "fakefw/device-path-bytes.h"
#include "fakefw/fakefw.h"
#include "launch-support.h"
#include "support/device-path-builder.h"

namespace {

using testsupport::dp_node;
using testsupport::dp_path;

class FakeImages : public ::testing::Test {
protected:
    fakefw::Firmware fw;
    EFI_BOOT_SERVICES *bs = fw.boot_services();
    EFI_LOADED_IMAGE_PROTOCOL parent_image = {};
    EFI_HANDLE parent = fw.handles().install(nullptr, EFI_LOADED_IMAGE_PROTOCOL_GUID, &parent_image);
};

} // namespace

TEST_F(FakeImages, SectionsAreMappedAtTheirAddressesAndTheRestIsZero) {
    testsupport::PeImageSpec spec;
    spec.sections = {{".data", {1, 2, 3}, 0x1800, 3}, {fakefw::ENTRY_SECTION, testsupport::bytes_of("k")}};
    std::vector<uint8_t> file = testsupport::build_pe(spec);
    std::memset(file.data() + 0x1003, 0xee, 0x10); // bytes past the raw data, not to be mapped
    EFI_HANDLE image = nullptr;
    ASSERT_EQ(bs->LoadImage(false, parent, nullptr, file.data(), file.size(), &image), EFI_SUCCESS);
    EFI_LOADED_IMAGE_PROTOCOL *li = nullptr;
    ASSERT_EQ(bs->HandleProtocol(image, &EFI_LOADED_IMAGE_PROTOCOL_GUID, reinterpret_cast<void **>(&li)),
              EFI_SUCCESS);
    auto *base = static_cast<uint8_t *>(li->ImageBase);
    EXPECT_NE(base, file.data());
    EXPECT_EQ(li->ImageSize, file.size());
    EXPECT_EQ(li->ParentHandle, parent);
    EXPECT_EQ(li->SystemTable, fw.system_table());
    EXPECT_EQ(std::vector<uint8_t>(base + 0x1000, base + 0x1006), (std::vector<uint8_t>{1, 2, 3, 0, 0, 0}));
    EXPECT_EQ(bs->UnloadImage(image), EFI_SUCCESS);
    EXPECT_EQ(bs->UnloadImage(image), EFI_INVALID_PARAMETER);
    EXPECT_FALSE(fw.handles().valid(image));
}

TEST_F(FakeImages, MalformedOrForeignImagesAreRefused) {
    std::vector<uint8_t> file = launchtest::kernel_image("k");
    EFI_HANDLE image = nullptr;
    EXPECT_EQ(bs->LoadImage(false, parent, nullptr, file.data(), 0x3f, &image), EFI_LOAD_ERROR);
    EXPECT_EQ(bs->LoadImage(false, parent, nullptr, file.data(), 0x100, &image), EFI_LOAD_ERROR);
    EXPECT_EQ(bs->LoadImage(false, nullptr, nullptr, file.data(), file.size(), &image), EFI_INVALID_PARAMETER);
    testsupport::PeImageSpec i386;
    i386.machine = 0x014c;
    i386.sections = {{".text", {0xc3}}};
    std::vector<uint8_t> other = testsupport::build_pe(i386);
    EXPECT_EQ(bs->LoadImage(false, parent, nullptr, other.data(), other.size(), &image), EFI_UNSUPPORTED);
    EXPECT_EQ(image, nullptr);
    EXPECT_EQ(fw.images().loaded_count(), 0u);
}

TEST_F(FakeImages, AnApplicationIsGoneOnceItsEntryReturns) {
    std::vector<uint8_t> file = launchtest::kernel_image("app");
    EFI_HANDLE seen = nullptr;
    fw.images().set_entry("app", [&](EFI_HANDLE image) {
        seen = image;
        return EFI_NOT_READY;
    });
    EFI_HANDLE image = nullptr;
    ASSERT_EQ(bs->LoadImage(false, parent, nullptr, file.data(), file.size(), &image), EFI_SUCCESS);
    EXPECT_EQ(bs->StartImage(image, nullptr, nullptr), EFI_NOT_READY);
    EXPECT_EQ(seen, image);
    EXPECT_FALSE(fw.images().loaded(image));
    EXPECT_EQ(bs->StartImage(image, nullptr, nullptr), EFI_INVALID_PARAMETER);
}

TEST_F(FakeImages, LocateDevicePathTakesTheLongestWholeNodePrefixAndAdvances) {
    std::vector<uint8_t> a = dp_node(1, 1, {1, 2}), b = dp_node(4, 4, {0x41, 0, 0, 0});
    std::vector<uint8_t> short_path = dp_path({a}), long_path = dp_path({a, b});
    std::vector<uint8_t> asked = long_path;
    asked.insert(asked.end() - 4, b.begin(), b.end()); // a, b, b, end
    int p1 = 0, p2 = 0;
    EFI_HANDLE h_short = fw.handles().install(nullptr, EFI_DEVICE_PATH_PROTOCOL_GUID, short_path.data());
    fw.handles().install(h_short, EFI_LOAD_FILE2_PROTOCOL_GUID, &p1);
    EFI_HANDLE h_long = fw.handles().install(nullptr, EFI_DEVICE_PATH_PROTOCOL_GUID, long_path.data());
    fw.handles().install(h_long, EFI_LOAD_FILE2_PROTOCOL_GUID, &p2);

    auto *path = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(asked.data());
    EFI_HANDLE found = nullptr;
    ASSERT_EQ(bs->LocateDevicePath(&EFI_LOAD_FILE2_PROTOCOL_GUID, &path, &found), EFI_SUCCESS);
    EXPECT_EQ(found, h_long);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(path), asked.data() + a.size() + b.size());

    // A different node at the same place matches only the shorter path.
    std::vector<uint8_t> other = dp_path({a, dp_node(4, 4, {0x42, 0, 0, 0})});
    path = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(other.data());
    ASSERT_EQ(bs->LocateDevicePath(&EFI_LOAD_FILE2_PROTOCOL_GUID, &path, &found), EFI_SUCCESS);
    EXPECT_EQ(found, h_short);

    std::vector<uint8_t> unrelated = dp_path({dp_node(2, 1, {9})});
    path = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(unrelated.data());
    EXPECT_EQ(bs->LocateDevicePath(&EFI_LOAD_FILE2_PROTOCOL_GUID, &path, &found), EFI_NOT_FOUND);
    EXPECT_EQ(path, reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(unrelated.data()));
}

TEST_F(FakeImages, WithoutABufferTheFileIsReadFromTheVolumeThePathNames) {
    fakefw::Volume &volume = fw.file_systems().add_volume();
    std::vector<uint8_t> file = launchtest::kernel_image("k");
    volume.add_file(u"\\EFI\\a.efi", file);
    volume.add_directory(u"\\EFI\\dir.efi");
    std::vector<uint8_t> prefix = fakefw::device_path_bytes(volume.device_path());
    prefix.resize(prefix.size() - 4);
    auto path_to = [&](std::initializer_list<std::u16string_view> names) {
        std::vector<uint8_t> path = prefix;
        for (std::u16string_view name : names) {
            std::vector<uint8_t> node = testsupport::dp_file_node(name);
            path.insert(path.end(), node.begin(), node.end());
        }
        path.insert(path.end(), {0x7f, 0xff, 4, 0});
        return path;
    };
    // The platform is asked about the file's bytes, as for a buffer.
    fw.security().install_security2();
    fw.security().set_enforcing(true);
    fw.security().trust(file.data(), file.size());

    // One node with the whole path, or one node per component, as firmware may build them.
    for (std::vector<uint8_t> path : {path_to({u"\\EFI\\a.efi"}), path_to({u"\\EFI", u"A.EFI"})}) {
        EFI_HANDLE image = nullptr;
        auto *dp = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(path.data());
        ASSERT_EQ(bs->LoadImage(false, parent, dp, nullptr, 0, &image), EFI_SUCCESS);
        EFI_LOADED_IMAGE_PROTOCOL *li = nullptr;
        ASSERT_EQ(bs->HandleProtocol(image, &EFI_LOADED_IMAGE_PROTOCOL_GUID, reinterpret_cast<void **>(&li)),
                  EFI_SUCCESS);
        EXPECT_EQ(li->DeviceHandle, volume.handle());
        EXPECT_EQ(fakefw::device_path_bytes(li->FilePath),
                  std::vector<uint8_t>(path.begin() + prefix.size(), path.end()));
        EXPECT_EQ(fw.security().calls().back().device_path, dp);
        EXPECT_EQ(bs->UnloadImage(image), EFI_SUCCESS);
    }
    volume.add_file(u"\\EFI\\u.efi", launchtest::kernel_image("u"));
    std::vector<uint8_t> untrusted = path_to({u"\\EFI\\u.efi"});
    EFI_HANDLE refused = nullptr;
    EXPECT_EQ(bs->LoadImage(false, parent, reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(untrusted.data()), nullptr, 0,
                            &refused),
              EFI_SECURITY_VIOLATION);
    EXPECT_EQ(bs->UnloadImage(refused), EFI_SUCCESS);

    std::vector<uint8_t> other_volume = dp_path({dp_node(4, 4, {0x5c, 0, 0x61, 0, 0, 0})});
    for (std::vector<uint8_t> path : {path_to({u"\\EFI\\b.efi"}), path_to({u"\\EFI\\dir.efi"}), path_to({}),
                                      other_volume}) {
        EFI_HANDLE image = nullptr;
        EXPECT_EQ(bs->LoadImage(false, parent, reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(path.data()), nullptr, 0,
                                &image),
                  EFI_NOT_FOUND);
        EXPECT_EQ(image, nullptr);
    }
    EXPECT_EQ(fw.images().loaded_count(), 0u);
}
