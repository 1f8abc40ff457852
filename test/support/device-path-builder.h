// Device paths for tests, built byte by byte as UEFI lays them out.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace testsupport {

using DevicePathBytes = std::vector<uint8_t>;

inline DevicePathBytes dp_node(uint8_t type, uint8_t subtype, const std::vector<uint8_t> &data = {}) {
    size_t length = 4 + data.size();
    DevicePathBytes node = {type, subtype, uint8_t(length), uint8_t(length >> 8)};
    node.insert(node.end(), data.begin(), data.end());
    return node;
}

// A media file-path node: the name and its terminator, little-endian UTF-16.
inline DevicePathBytes dp_file_node(std::u16string_view name) {
    std::vector<uint8_t> data;
    for (char16_t c : name) {
        data.push_back(uint8_t(c));
        data.push_back(uint8_t(c >> 8));
    }
    data.insert(data.end(), {0, 0});
    return dp_node(0x04, 0x04, data);
}

inline DevicePathBytes dp_end_instance_node() { return {0x7f, 0x01, 4, 0}; }

// The nodes one after another, then the end-of-entire-path node.
inline DevicePathBytes dp_path(std::initializer_list<DevicePathBytes> nodes) {
    DevicePathBytes path;
    for (const DevicePathBytes &node : nodes)
        path.insert(path.end(), node.begin(), node.end());
    path.insert(path.end(), {0x7f, 0xff, 4, 0});
    return path;
}

} // namespace testsupport
