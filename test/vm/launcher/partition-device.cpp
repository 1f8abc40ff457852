#include "partition-device.h"

#include "boot/firmware.h"
#include "boot/util.h"
#include "boot/efi/simple-file-system.h"

namespace korvane::vmtest {

namespace {

constexpr size_t DEVICE_PATH_MAX = 4096;

uint16_t node_length(const EFI_DEVICE_PATH_PROTOCOL *node) {
    return static_cast<uint16_t>(node->Length[0] | node->Length[1] << 8);
}

bool same_guid(const UINT8 *a, const uint8_t (&b)[16]) {
    for (size_t i = 0; i < sizeof(b); i++)
        if (a[i] != b[i])
            return false;
    return true;
}

bool is_partition(const EFI_DEVICE_PATH_PROTOCOL *node, const uint8_t (&guid)[16]) {
    if (node->Type != MEDIA_DEVICE_PATH || node->SubType != MEDIA_HARDDRIVE_DP ||
        node_length(node) < sizeof(HARDDRIVE_DEVICE_PATH))
        return false;
    auto *hd = reinterpret_cast<const HARDDRIVE_DEVICE_PATH *>(node);
    return hd->SignatureType == SIGNATURE_TYPE_GUID && same_guid(hd->Signature, guid);
}

// Whether a node of the handle's (well-formed) device path names the partition.
bool has_partition_node(EFI_HANDLE handle, const uint8_t (&guid)[16]) {
    EFI_DEVICE_PATH_PROTOCOL *dp = nullptr;
    if (BS->HandleProtocol(handle, &EFI_DEVICE_PATH_PROTOCOL_GUID, reinterpret_cast<void **>(&dp)) != EFI_SUCCESS ||
        !dp)
        return false;
    auto *p = reinterpret_cast<const uint8_t *>(dp);
    for (size_t at = 0; at + sizeof(EFI_DEVICE_PATH_PROTOCOL) <= DEVICE_PATH_MAX;) {
        auto *node = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(p + at);
        if (node->Type == END_DEVICE_PATH_TYPE && node->SubType == END_ENTIRE_DEVICE_PATH_SUBTYPE)
            return false;
        if (node_length(node) < sizeof(EFI_DEVICE_PATH_PROTOCOL))
            return false;
        if (is_partition(node, guid))
            return true;
        at += node_length(node);
    }
    return false;
}

} // namespace

EFI_STATUS find_partition_device(const uint8_t (&guid)[16], EFI_HANDLE *ret) {
    UINTN n = 0;
    EFI_HANDLE *handles = nullptr;
    EFI_STATUS err = BS->LocateHandleBuffer(ByProtocol, &EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID, nullptr, &n, &handles);
    if (err != EFI_SUCCESS)
        return err;
    PoolPtr<EFI_HANDLE> owned(handles);
    for (UINTN i = 0; i < n; i++)
        if (has_partition_node(handles[i], guid)) {
            *ret = handles[i];
            return EFI_SUCCESS;
        }
    return EFI_NOT_FOUND;
}

} // namespace korvane::vmtest
