// Device paths: walking their nodes, building paths in pool memory (owned by the caller) and
// turning them into text. Paths handed out by the firmware belong to it and are never freed.
#pragma once

#include "efi/efi.h"

namespace korvane {

constexpr size_t device_path_node_length(const EFI_DEVICE_PATH_PROTOCOL *node) {
    return node->Length[0] | size_t(node->Length[1]) << 8;
}

// A node shorter than its own header is invalid; a walk stops there instead of looping on it.
constexpr bool device_path_node_is_short(const EFI_DEVICE_PATH_PROTOCOL *node) {
    return device_path_node_length(node) < sizeof(EFI_DEVICE_PATH_PROTOCOL);
}

inline const EFI_DEVICE_PATH_PROTOCOL *device_path_next_node(const EFI_DEVICE_PATH_PROTOCOL *node) {
    return reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(reinterpret_cast<const uint8_t *>(node) +
                                                              device_path_node_length(node));
}

// True for the end of the entire path only; an end-of-instance node is walked over.
constexpr bool device_path_is_end(const EFI_DEVICE_PATH_PROTOCOL *node) {
    return node->Type == END_DEVICE_PATH_TYPE && node->SubType == END_ENTIRE_DEVICE_PATH_SUBTYPE;
}

// A new path: the nodes of `path` before `node`, then `new_node` (when not null), then the end
// node. What followed `node` is dropped; `path` itself is not changed.
[[nodiscard]] EFI_DEVICE_PATH_PROTOCOL *device_path_replace_node(const EFI_DEVICE_PATH_PROTOCOL *path,
                                                                 const EFI_DEVICE_PATH_PROTOCOL *node,
                                                                 const EFI_DEVICE_PATH_PROTOCOL *new_node);

// The device path of `device` followed by a file-path node for `file`. EFI_INVALID_PARAMETER
// when the device's path holds a short node or the name does not fit in one node.
EFI_STATUS make_file_device_path(EFI_HANDLE device, const char16_t *file, EFI_DEVICE_PATH_PROTOCOL **ret);

// The path as text, by the firmware's device-path-to-text protocol when there is one, else in
// our own form. A path of only the end node gives success and a null text. The own form
// refuses a path with a short node (EFI_INVALID_PARAMETER).
EFI_STATUS device_path_to_str(const EFI_DEVICE_PATH_PROTOCOL *dp, char16_t **ret);

} // namespace korvane
