#include "fakefw/device-path-text.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>

#include "fakefw/fakefw.h"

namespace fakefw {

DevicePathText *DevicePathText::installed_;

namespace {

// A walk gives up after this many nodes, or at a node shorter than its header.
constexpr size_t MAX_NODES = 1024;

size_t node_length(const uint8_t *node) { return node[2] | node[3] << 8; }

bool is_end(const uint8_t *node) {
    return node[0] == END_DEVICE_PATH_TYPE && node[1] == END_ENTIRE_DEVICE_PATH_SUBTYPE;
}

// The nodes of `path` before its end node, each as its bytes.
std::vector<Bytes> nodes_of(const EFI_DEVICE_PATH_PROTOCOL *path) {
    std::vector<Bytes> nodes;
    const auto *p = reinterpret_cast<const uint8_t *>(path);
    for (size_t i = 0; i < MAX_NODES && !is_end(p) && node_length(p) >= 4; i++) {
        nodes.emplace_back(p, p + node_length(p));
        p += node_length(p);
    }
    return nodes;
}

std::u16string ascii(const std::string &s) { return std::u16string(s.begin(), s.end()); }

std::string guid_text(const uint8_t *g) {
    char buf[40];
    snprintf(buf, sizeof(buf), "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", g[3], g[2], g[1],
             g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return buf;
}

std::u16string hard_drive_text(const Bytes &node) {
    HARDDRIVE_DEVICE_PATH hd;
    memcpy(&hd, node.data(), sizeof(hd));
    char buf[128];
    if (hd.SignatureType == SIGNATURE_TYPE_GUID)
        snprintf(buf, sizeof(buf), "HD(%u,GPT,%s,0x%llx,0x%llx)", hd.PartitionNumber, guid_text(hd.Signature).c_str(),
                 static_cast<unsigned long long>(hd.PartitionStart), static_cast<unsigned long long>(hd.PartitionSize));
    else
        snprintf(buf, sizeof(buf), "HD(%u,MBR,0x%02X%02X%02X%02X,0x%llx,0x%llx)", hd.PartitionNumber, hd.Signature[3],
                 hd.Signature[2], hd.Signature[1], hd.Signature[0], static_cast<unsigned long long>(hd.PartitionStart),
                 static_cast<unsigned long long>(hd.PartitionSize));
    return ascii(buf);
}

std::u16string file_text(const Bytes &node) {
    std::u16string name((node.size() - 4) / 2, u'\0');
    memcpy(name.data(), node.data() + 4, name.size() * 2);
    return name.substr(0, name.find(u'\0'));
}

std::u16string generic_text(const Bytes &node) {
    std::string text = "Path(" + std::to_string(node[0]) + "," + std::to_string(node[1]);
    if (node.size() > 4)
        text += ",";
    for (size_t i = 4; i < node.size(); i++) {
        char hex[3];
        snprintf(hex, sizeof(hex), "%02X", node[i]);
        text += hex;
    }
    return ascii(text + ")");
}

CHAR16 *EFIAPI convert_device_path_to_text(const EFI_DEVICE_PATH_PROTOCOL *path, BOOLEAN display_only,
                                           BOOLEAN allow_shortcuts) {
    DevicePathText *text = DevicePathText::installed();
    if (!text) {
        ADD_FAILURE() << "fakefw: ConvertDevicePathToText called while the protocol is not installed";
        return nullptr;
    }
    return text->convert(path, display_only, allow_shortcuts);
}

CHAR16 *EFIAPI convert_device_node_to_text(const EFI_DEVICE_PATH_PROTOCOL *, BOOLEAN, BOOLEAN) {
    ADD_FAILURE() << "fakefw: ConvertDeviceNodeToText is not implemented";
    return nullptr;
}

} // namespace

DevicePathText::~DevicePathText() {
    if (handle_)
        uninstall();
}

EFI_HANDLE DevicePathText::install() {
    if (handle_ || installed_) {
        ADD_FAILURE() << "fakefw: the device-path-to-text protocol is already installed";
        return handle_;
    }
    protocol_ = {convert_device_node_to_text, convert_device_path_to_text};
    handle_ = fw_.handles().install(nullptr, EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID, &protocol_);
    installed_ = this;
    return handle_;
}

void DevicePathText::uninstall() {
    if (!handle_) {
        ADD_FAILURE() << "fakefw: the device-path-to-text protocol is not installed";
        return;
    }
    fw_.handles().uninstall(handle_, EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID);
    handle_ = nullptr;
    installed_ = nullptr;
}

std::u16string DevicePathText::text_of(const EFI_DEVICE_PATH_PROTOCOL *path) {
    std::u16string text;
    bool instance_start = true;
    for (const Bytes &node : nodes_of(path)) {
        if (node[0] == END_DEVICE_PATH_TYPE && node[1] == END_INSTANCE_DEVICE_PATH_SUBTYPE) {
            text += u",";
            instance_start = true;
            continue;
        }
        if (!instance_start)
            text += u"/";
        instance_start = false;
        if (node[0] == MEDIA_DEVICE_PATH && node[1] == MEDIA_FILEPATH_DP)
            text += file_text(node);
        else if (node[0] == MEDIA_DEVICE_PATH && node[1] == MEDIA_HARDDRIVE_DP && node.size() == 42)
            text += hard_drive_text(node);
        else
            text += generic_text(node);
    }
    return text;
}

CHAR16 *DevicePathText::convert(const EFI_DEVICE_PATH_PROTOCOL *path, BOOLEAN display_only, BOOLEAN allow_shortcuts) {
    Bytes bytes;
    if (path) {
        for (const Bytes &node : nodes_of(path))
            bytes.insert(bytes.end(), node.begin(), node.end());
        bytes.insert(bytes.end(), {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0});
    }
    calls_.push_back({bytes, display_only, allow_shortcuts});
    if (!path) {
        ADD_FAILURE() << "fakefw: ConvertDevicePathToText of a null path";
        return nullptr;
    }
    if (out_of_memory_.enter())
        return nullptr;
    std::u16string text = text_of(path);
    VOID *buffer = nullptr;
    if (fw_.memory().allocate_pool(EfiBootServicesData, (text.size() + 1) * sizeof(CHAR16), &buffer) != EFI_SUCCESS)
        return nullptr;
    memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(CHAR16));
    return static_cast<CHAR16 *>(buffer);
}

} // namespace fakefw
