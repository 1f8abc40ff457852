// Device paths: node walking, node replacement, file paths below a device, and text with and
// without the firmware's device-path-to-text protocol.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "boot/device-path-util.h"
#include "boot/util.h"
#include "fakefw/device-path-text.h"
#include "fakefw/fakefw.h"
#include "support/device-path-builder.h"

using fakefw::Firmware;
using fakefw::Service;
using korvane::PoolPtr;
using namespace testsupport;

namespace {

std::string assertion(const std::string &expression) { return "Assertion '" + expression + "' failed"; }

testing::AssertionResult contains(const std::string &text, const std::string &part) {
    if (text.find(part) != std::string::npos)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "\"" << text << "\" lacks \"" << part << "\"";
}

const EFI_DEVICE_PATH_PROTOCOL *as_path(const DevicePathBytes &bytes) {
    return reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(bytes.data());
}

DevicePathBytes cat(std::initializer_list<DevicePathBytes> parts) {
    DevicePathBytes out;
    for (auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const DevicePathBytes END = {0x7f, 0xff, 4, 0};
const DevicePathBytes PCI = dp_node(1, 1, {0x00, 0x02});

DevicePathBytes hard_drive(uint32_t partition) {
    std::vector<uint8_t> data(38);
    memcpy(data.data(), &partition, 4);
    data[36] = 2; // GPT
    data[37] = 2; // GUID signature
    return dp_node(MEDIA_DEVICE_PATH, MEDIA_HARDDRIVE_DP, data);
}

// The bytes of a path made by the code under test, which must be pool memory of exactly that size.
DevicePathBytes owned_bytes(Firmware &fw, EFI_DEVICE_PATH_PROTOCOL *path) {
    const auto *p = reinterpret_cast<const uint8_t *>(path);
    DevicePathBytes bytes(p, p + fw.memory().pool_size(path));
    korvane::free_pool(path);
    return bytes;
}

TEST(DevicePathNodes, LengthIsLittleEndianAndOnlyTheEntireEndEndsAPath) {
    DevicePathBytes path = dp_path({dp_node(3, 5, std::vector<uint8_t>(294)), dp_end_instance_node()});
    const EFI_DEVICE_PATH_PROTOCOL *node = as_path(path);
    EXPECT_EQ(korvane::device_path_node_length(node), 298u);
    const EFI_DEVICE_PATH_PROTOCOL *next = korvane::device_path_next_node(node);
    EXPECT_EQ(reinterpret_cast<const uint8_t *>(next), path.data() + 298);
    EXPECT_FALSE(korvane::device_path_is_end(node));
    EXPECT_FALSE(korvane::device_path_is_end(next)) << "end of an instance";
    EXPECT_TRUE(korvane::device_path_is_end(korvane::device_path_next_node(next)));

    DevicePathBytes not_end = {0x00, 0xff, 4, 0}, short_node = {4, 4, 3, 0};
    EXPECT_FALSE(korvane::device_path_is_end(as_path(not_end)));
    EXPECT_FALSE(korvane::device_path_node_is_short(as_path(not_end)));
    EXPECT_TRUE(korvane::device_path_node_is_short(as_path(short_node)));
}

class DevicePaths : public ::testing::Test {
protected:
    Firmware fw;

    // A device handle carrying `path` as its device path.
    EFI_HANDLE device(const DevicePathBytes &path) {
        return fw.handles().install(nullptr, EFI_DEVICE_PATH_PROTOCOL_GUID, const_cast<uint8_t *>(path.data()));
    }
};

TEST_F(DevicePaths, ReplaceNodeKeepsThePrefixAndDropsTheRest) {
    DevicePathBytes file = dp_file_node(u"\\a.efi");
    DevicePathBytes path = dp_path({PCI, hard_drive(1), file});
    const DevicePathBytes original = path;
    const EFI_DEVICE_PATH_PROTOCOL *hd = korvane::device_path_next_node(as_path(path));
    const EFI_DEVICE_PATH_PROTOCOL *file_node = korvane::device_path_next_node(hd);

    DevicePathBytes replacement = hard_drive(7);
    DevicePathBytes replaced =
        owned_bytes(fw, korvane::device_path_replace_node(as_path(path), hd, as_path(replacement)));
    EXPECT_EQ(replaced.size(), 6u + 42 + 4);
    EXPECT_EQ(replaced, cat({PCI, replacement, END}));

    EXPECT_EQ(owned_bytes(fw, korvane::device_path_replace_node(as_path(path), file_node, nullptr)),
              cat({PCI, hard_drive(1), END}));
    EXPECT_EQ(owned_bytes(fw, korvane::device_path_replace_node(as_path(path), as_path(path), nullptr)), END);
    const EFI_DEVICE_PATH_PROTOCOL *end = korvane::device_path_next_node(file_node);
    EXPECT_EQ(owned_bytes(fw, korvane::device_path_replace_node(as_path(path), end, as_path(PCI))),
              cat({PCI, hard_drive(1), file, PCI, END}));
    EXPECT_EQ(path, original);

    EXPECT_TRUE(contains(fakefw::expect_halt([&] { (void)korvane::device_path_replace_node(nullptr, hd, nullptr); }),
                         assertion("path")));
}

TEST_F(DevicePaths, MakeFileDevicePathAppendsAFileNodeToTheDevicePath) {
    DevicePathBytes vendor = dp_node(MEDIA_DEVICE_PATH, MEDIA_VENDOR_DP, std::vector<uint8_t>(16, 0xab));
    DevicePathBytes device_path = dp_path({vendor});
    EFI_HANDLE dev = device(device_path);
    EFI_DEVICE_PATH_PROTOCOL *made = nullptr;
    ASSERT_EQ(korvane::make_file_device_path(dev, u"\\x", &made), EFI_SUCCESS);
    DevicePathBytes bytes = owned_bytes(fw, made);
    EXPECT_EQ(bytes.size(), 20u + 10 + 4);
    EXPECT_EQ(bytes, cat({vendor, {0x04, 0x04, 10, 0, '\\', 0, 'x', 0, 0, 0}, END}));

    // An end-of-instance node is part of the prefix like any other node.
    DevicePathBytes two = dp_path({PCI, dp_end_instance_node(), vendor});
    ASSERT_EQ(korvane::make_file_device_path(device(two), u"\\EFI\\a.efi", &made), EFI_SUCCESS);
    EXPECT_EQ(owned_bytes(fw, made), cat({PCI, dp_end_instance_node(), vendor, dp_file_node(u"\\EFI\\a.efi"), END}));

    // A volume of the fake firmware as the device: its path is one hard-drive node.
    fakefw::Volume &volume = fw.file_systems().add_volume();
    const auto *volume_path = reinterpret_cast<const uint8_t *>(volume.device_path());
    DevicePathBytes volume_node(volume_path, volume_path + 42);
    ASSERT_EQ(volume_node[0], MEDIA_DEVICE_PATH);
    ASSERT_EQ(volume_node[1], MEDIA_HARDDRIVE_DP);
    ASSERT_EQ(korvane::make_file_device_path(volume.handle(), u"\\a", &made), EFI_SUCCESS);
    EXPECT_EQ(owned_bytes(fw, made), cat({volume_node, dp_file_node(u"\\a"), END}));
}

TEST_F(DevicePaths, MakeFileDevicePathRefusesWhatItCannotBuild) {
    EFI_DEVICE_PATH_PROTOCOL *made = nullptr;
    EFI_HANDLE no_path = fw.rng().install();
    EXPECT_EQ(korvane::make_file_device_path(no_path, u"\\x", &made), EFI_UNSUPPORTED);
    DevicePathBytes ok = dp_path({PCI});
    EFI_HANDLE dev = device(ok);
    fw.fail(Service::HandleProtocol, EFI_DEVICE_ERROR, 0, 1);
    EXPECT_EQ(korvane::make_file_device_path(dev, u"\\x", &made), EFI_DEVICE_ERROR);

    // A node shorter than its header ends the walk instead of looping on it.
    DevicePathBytes broken = cat({PCI, {1, 1, 0, 0}, END});
    EXPECT_EQ(korvane::make_file_device_path(device(broken), u"\\x", &made), EFI_INVALID_PARAMETER);

    // The node's length has 16 bits: 32764 units and the terminator make 65534 bytes with the
    // header; one unit more would need 65536.
    std::u16string longest(32764, u'n'), too_long(32765, u'n');
    EXPECT_EQ(korvane::make_file_device_path(dev, too_long.c_str(), &made), EFI_INVALID_PARAMETER);
    EXPECT_EQ(made, nullptr);
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
    ASSERT_EQ(korvane::make_file_device_path(dev, longest.c_str(), &made), EFI_SUCCESS);
    DevicePathBytes bytes = owned_bytes(fw, made);
    ASSERT_EQ(bytes.size(), 6u + 65534 + 4);
    EXPECT_EQ(bytes[6 + 2], 0xfe);
    EXPECT_EQ(bytes[6 + 3], 0xff);

    EXPECT_TRUE(contains(fakefw::expect_halt([&] { (void)korvane::make_file_device_path(dev, nullptr, &made); }),
                         assertion("file")));
}

class OwnText : public DevicePaths {
protected:
    std::u16string text_of(const DevicePathBytes &path) {
        char16_t *text = nullptr;
        EXPECT_EQ(korvane::device_path_to_str(as_path(path), &text), EFI_SUCCESS);
        if (!text)
            return u"(null)";
        std::u16string s = text;
        korvane::free_pool(text);
        return s;
    }
};

TEST_F(OwnText, FileNodesGiveTheirNamesJoinedByBackslashes) {
    EXPECT_EQ(text_of(dp_path({dp_file_node(u"\\EFI\\a.efi")})), u"\\EFI\\a.efi");
    EXPECT_EQ(text_of(dp_path({dp_file_node(u"\\EFI"), dp_file_node(u"a.efi")})), u"\\EFI\\a.efi");
    EXPECT_EQ(text_of(dp_path({dp_file_node(u"")})), u"");
    EXPECT_EQ(fw.memory().live_pool_count(), 0u) << "every intermediate text is freed";
}

TEST_F(OwnText, OtherNodesGiveTypeSubtypeAndLowercaseHexData) {
    EXPECT_EQ(text_of(dp_path({dp_node(3, 5)})), u"Path(3,5)");
    EXPECT_EQ(text_of(dp_path({dp_node(2, 1, {0xab, 0x0f, 0x70})})), u"Path(2,1,ab0f70)");
    EXPECT_EQ(text_of(dp_path({PCI, dp_file_node(u"\\a.efi")})), u"Path(1,1,0002)\\\\a.efi");
    EXPECT_EQ(text_of(dp_path({PCI, dp_node(3, 5)})), u"Path(1,1,0002)/Path(3,5)");
    EXPECT_EQ(text_of(dp_path({dp_node(0x7f, 0x02)})), u"Path(127,2)") << "an end node of another subtype";
    EXPECT_EQ(text_of(dp_path({dp_file_node(u"a"), dp_end_instance_node(), dp_file_node(u"b")})), u"a\\,\\b");
    EXPECT_EQ(text_of(dp_path({dp_end_instance_node()})), u",");
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
}

TEST_F(OwnText, FileNamesAreReadWithinTheirNodeAtAnyAlignment) {
    // One data byte puts the file node at an odd offset.
    EXPECT_EQ(text_of(dp_path({dp_node(3, 5, {0x01}), dp_file_node(u"\\x")})), u"Path(3,5,01)\\\\x");
    // A name without its terminator ends with the node.
    DevicePathBytes unterminated = dp_node(MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, {'a', 0, 'b', 0});
    EXPECT_EQ(text_of(dp_path({unterminated})), u"ab");
}

TEST_F(OwnText, AnEndNodeAloneGivesNoTextAndAShortNodeStopsTheWalk) {
    char16_t *text = reinterpret_cast<char16_t *>(1);
    DevicePathBytes end = dp_path({});
    ASSERT_EQ(korvane::device_path_to_str(as_path(end), &text), EFI_SUCCESS);
    EXPECT_EQ(text, nullptr);

    for (uint8_t length : {0, 1, 3}) {
        DevicePathBytes broken = cat({PCI, {1, 1, length, 0}, END});
        text = nullptr;
        EXPECT_EQ(korvane::device_path_to_str(as_path(broken), &text), EFI_INVALID_PARAMETER);
        EXPECT_EQ(text, nullptr);
    }
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
    EXPECT_TRUE(
        contains(fakefw::expect_halt([&] { (void)korvane::device_path_to_str(nullptr, &text); }), assertion("dp")));
}

TEST_F(DevicePaths, FirmwareTextIsUsedWhenTheProtocolExists) {
    fakefw::DevicePathText to_text(fw);
    to_text.install();
    DevicePathBytes path = dp_path({hard_drive(1), dp_file_node(u"\\EFI\\a.efi")});
    char16_t *text = nullptr;
    ASSERT_EQ(korvane::device_path_to_str(as_path(path), &text), EFI_SUCCESS);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::u16string(text), u"HD(1,GPT,00000000-0000-0000-0000-000000000000,0x0,0x0)/\\EFI\\a.efi");
    korvane::free_pool(text);
    ASSERT_EQ(to_text.calls().size(), 1u);
    EXPECT_EQ(to_text.calls()[0].path, path);
    EXPECT_EQ(to_text.calls()[0].display_only, 0);
    EXPECT_EQ(to_text.calls()[0].allow_shortcuts, 0);

    to_text.run_out_of_memory(0, 1);
    text = nullptr;
    EXPECT_EQ(korvane::device_path_to_str(as_path(path), &text), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(text, nullptr);

    // Once it is gone, our own form is back.
    to_text.uninstall();
    ASSERT_EQ(korvane::device_path_to_str(as_path(dp_path({PCI})), &text), EFI_SUCCESS);
    EXPECT_EQ(std::u16string(text), u"Path(1,1,0002)");
    korvane::free_pool(text);
    EXPECT_EQ(to_text.calls().size(), 2u);
}

} // namespace
