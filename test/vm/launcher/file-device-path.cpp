#include "file-device-path.h"

#include "boot/firmware.h"
#include "boot/efi/simple-file-system.h"

namespace korvane::vmtest {

namespace {

constexpr size_t DEVICE_PATH_MAX = 4096;

uint16_t node_length(const EFI_DEVICE_PATH_PROTOCOL *node) {
    return static_cast<uint16_t>(node->Length[0] | node->Length[1] << 8);
}

// The bytes before the end node; *ret_ok is false when a node is malformed or no end node
// comes within DEVICE_PATH_MAX bytes.
size_t size_before_end(const EFI_DEVICE_PATH_PROTOCOL *dp, bool *ret_ok) {
    auto *p = reinterpret_cast<const uint8_t *>(dp);
    size_t size = 0;
    *ret_ok = false;
    while (size + sizeof(EFI_DEVICE_PATH_PROTOCOL) <= DEVICE_PATH_MAX) {
        auto *node = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(p + size);
        if (node->Type == END_DEVICE_PATH_TYPE && node->SubType == END_ENTIRE_DEVICE_PATH_SUBTYPE) {
            *ret_ok = true;
            return size;
        }
        if (node_length(node) < sizeof(EFI_DEVICE_PATH_PROTOCOL))
            return 0;
        size += node_length(node);
    }
    return 0;
}

void set_node(EFI_DEVICE_PATH_PROTOCOL *node, UINT8 type, UINT8 subtype, size_t length) {
    node->Type = type;
    node->SubType = subtype;
    node->Length[0] = static_cast<UINT8>(length);
    node->Length[1] = static_cast<UINT8>(length >> 8);
}

} // namespace

EFI_STATUS file_device_path(EFI_HANDLE device, const char16_t *path, PoolPtr<EFI_DEVICE_PATH_PROTOCOL> *ret) {
    EFI_DEVICE_PATH_PROTOCOL *device_path = nullptr;
    EFI_STATUS err =
        BS->HandleProtocol(device, &EFI_DEVICE_PATH_PROTOCOL_GUID, reinterpret_cast<void **>(&device_path));
    if (err != EFI_SUCCESS)
        return err;
    bool ok = false;
    size_t prefix = size_before_end(device_path, &ok);
    size_t name_size = (str16_len(path) + 1) * sizeof(char16_t);
    size_t file_node = sizeof(EFI_DEVICE_PATH_PROTOCOL) + name_size;
    if (!ok || file_node > 0xffff)
        return EFI_NOT_FOUND;

    auto *p = xnew<uint8_t>(prefix + file_node + sizeof(EFI_DEVICE_PATH_PROTOCOL));
    memcpy(p, device_path, prefix);
    auto *node = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(p + prefix);
    set_node(node, MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, file_node);
    memcpy(node + 1, path, name_size);
    set_node(reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(p + prefix + file_node), END_DEVICE_PATH_TYPE,
             END_ENTIRE_DEVICE_PATH_SUBTYPE, sizeof(EFI_DEVICE_PATH_PROTOCOL));
    ret->reset(reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(p));
    return EFI_SUCCESS;
}

} // namespace korvane::vmtest
