// Device paths as the firmware hands them over (the image's file path, a device's path):
// well-formed node lengths, any types and data, possibly a node shorter than its header. The
// walks, the text forms, node replacement, file paths, the partition GUID text and the walk
// to the disk of a partition.
#include "support.h"

#include <algorithm>
#include <cstring>

#include "boot/device-path-util.h"
#include "boot/file-util.h"
#include "boot/part-discovery.h"
#include "boot/util.h"
#include "fakefw/device-path-text.h"

namespace {

constexpr size_t MAX_NODES = 64;
constexpr uint8_t END_NODE[] = {0x7f, 0xff, 4, 0};

struct Path {
    fuzz::Bytes bytes;
    std::vector<size_t> offsets; // of each node before the end node
    bool has_short = false;
};

// Flags bit 1 shortens the node picked by the next byte to a length below 4.
Path build_path(fuzz::Input &in, uint8_t flags) {
    Path path;
    size_t short_at = in.byte();
    for (size_t i = 0; i < MAX_NODES && !in.empty(); i++) {
        fuzz::Bytes node = in.part();
        node.resize(std::max<size_t>(node.size(), 2));
        size_t length = std::min<size_t>(node.size() + 2, 0xffff);
        if (node[0] == 0x7f && node[1] == 0xff)
            node[1] = 0x01; // the end comes last, below
        if ((flags & 2) && i == short_at % MAX_NODES) {
            length = short_at % 4;
            path.has_short = true;
        }
        path.offsets.push_back(path.bytes.size());
        path.bytes.insert(path.bytes.end(), {node[0], node[1], uint8_t(length), uint8_t(length >> 8)});
        path.bytes.insert(path.bytes.end(), node.begin() + 2, node.begin() + (length < 4 ? 2 : long(length) - 2));
        if (length < 4)
            break;
    }
    path.bytes.insert(path.bytes.end(), std::begin(END_NODE), std::end(END_NODE));
    return path;
}

const EFI_DEVICE_PATH_PROTOCOL *dp(const fuzz::Bytes &b, size_t at = 0) {
    return reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(b.data() + at);
}

bool ends_with_end_node(const uint8_t *p, size_t n) { return n >= 4 && memcmp(p + n - 4, END_NODE, 4) == 0; }

void check_text(const Path &path, bool firmware_text) {
    korvane::PoolPtr<char16_t> text;
    EFI_STATUS err = korvane::device_path_to_str(dp(path.bytes), text.out());
    if (firmware_text)
        return;
    FUZZ_CHECK((err == EFI_SUCCESS) == !path.has_short);
    if (err == EFI_SUCCESS)
        FUZZ_CHECK(!text == path.offsets.empty());
}

void check_replace(const Path &path, uint8_t pick) {
    if (path.offsets.empty() || path.has_short)
        return;
    size_t at = path.offsets[pick % path.offsets.size()];
    static const uint8_t new_node[] = {0x04, 0x04, 6, 0, 'x', 0};
    korvane::PoolPtr<EFI_DEVICE_PATH_PROTOCOL> replaced(korvane::device_path_replace_node(
        dp(path.bytes), dp(path.bytes, at), reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(new_node)));
    auto *r = reinterpret_cast<const uint8_t *>(replaced.get());
    size_t size = fakefw::Firmware::active().memory().pool_size(r);
    FUZZ_CHECK(size == at + sizeof(new_node) + 4);
    FUZZ_CHECK(memcmp(r, path.bytes.data(), at) == 0 && memcmp(r + at, new_node, sizeof(new_node)) == 0);
    FUZZ_CHECK(ends_with_end_node(r, size));
}

void check_file_path(EFI_HANDLE device, const Path &path, const std::u16string &name) {
    korvane::PoolPtr<EFI_DEVICE_PATH_PROTOCOL> file;
    EFI_STATUS err = korvane::make_file_device_path(device, name.c_str(), file.out());
    size_t node_length = 4 + 2 * (name.size() + 1);
    if (path.has_short || node_length > 0xffff) {
        FUZZ_CHECK(err == EFI_INVALID_PARAMETER);
        return;
    }
    FUZZ_CHECK(err == EFI_SUCCESS);
    auto *r = reinterpret_cast<const uint8_t *>(file.get());
    size_t prefix = path.bytes.size() - 4;
    size_t size = fakefw::Firmware::active().memory().pool_size(r);
    FUZZ_CHECK(size == prefix + node_length + 4);
    FUZZ_CHECK(memcmp(r, path.bytes.data(), prefix) == 0);
    FUZZ_CHECK(r[prefix] == 4 && r[prefix + 1] == 4 && (r[prefix + 2] | r[prefix + 3] << 8) == int(node_length));
    FUZZ_CHECK(memcmp(r + prefix + 4, name.c_str(), 2 * (name.size() + 1)) == 0);
    FUZZ_CHECK(ends_with_end_node(r, size));
}

void check_partition_uuid(EFI_HANDLE device) {
    korvane::PoolPtr<char16_t> uuid(korvane::device_partition_uuid(device));
    if (!uuid)
        return;
    std::u16string u(uuid.get());
    FUZZ_CHECK(u.size() == 36);
    for (size_t i = 0; i < u.size(); i++)
        FUZZ_CHECK((i == 8 || i == 13 || i == 18 || i == 23) ? u[i] == u'-'
                                                             : (u[i] >= u'0' && u[i] <= u'9') || (u[i] >= u'A' && u[i] <= u'F'));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t flags = in.byte();
    uint8_t pick = in.byte();
    std::u16string name = fuzz::utf16_of(in.part());
    name = name.substr(0, name.find(u'\0'));
    Path path = build_path(in, flags);
    fuzz::with_firmware([&](fakefw::Firmware &fw) {
        fakefw::DevicePathText text_protocol(fw);
        // The firmware's own conversion is not ours to test on invalid paths.
        bool firmware_text = (flags & 1) && !path.has_short;
        if (firmware_text)
            text_protocol.install();
        EFI_HANDLE device = fw.handles().install(nullptr, EFI_DEVICE_PATH_PROTOCOL_GUID, path.bytes.data());

        check_text(path, firmware_text);
        check_replace(path, pick);
        check_file_path(device, path, name);
        check_partition_uuid(device);
        korvane::PoolPtr<char16_t> extra(korvane::image_extra_dir(dp(path.bytes)));
        FUZZ_CHECK(!korvane::partition_open(korvane::ESP_PARTITION_TYPE_GUID, device));
    });
    return 0;
}
