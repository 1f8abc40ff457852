#include "device-path-util.h"

#include "efi-string.h"
#include "efi/device-path-to-text.h"
#include "firmware.h"
#include "util.h"

namespace korvane {

namespace {

constexpr EFI_DEVICE_PATH_PROTOCOL END_NODE = {
    END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, {sizeof(EFI_DEVICE_PATH_PROTOCOL), 0}};

const uint8_t *node_data(const EFI_DEVICE_PATH_PROTOCOL *node) {
    return reinterpret_cast<const uint8_t *>(node) + sizeof(EFI_DEVICE_PATH_PROTOCOL);
}

size_t node_data_size(const EFI_DEVICE_PATH_PROTOCOL *node) {
    return device_path_node_length(node) - sizeof(EFI_DEVICE_PATH_PROTOCOL);
}

bool node_is(const EFI_DEVICE_PATH_PROTOCOL *node, uint8_t type, uint8_t subtype) {
    return node->Type == type && node->SubType == subtype;
}

// Bytes of `path` before its end node; EFI_INVALID_PARAMETER when a short node comes first.
EFI_STATUS device_path_prefix_size(const EFI_DEVICE_PATH_PROTOCOL *path, size_t *ret) {
    const EFI_DEVICE_PATH_PROTOCOL *node = path;
    for (; !device_path_is_end(node); node = device_path_next_node(node))
        if (device_path_node_is_short(node))
            return EFI_INVALID_PARAMETER;
    *ret = reinterpret_cast<const uint8_t *>(node) - reinterpret_cast<const uint8_t *>(path);
    return EFI_SUCCESS;
}

// The node's data as lowercase hexadecimal, two digits per byte in byte order.
char16_t *node_data_hex(const EFI_DEVICE_PATH_PROTOCOL *node) {
    static constexpr char16_t DIGITS[] = u"0123456789abcdef";
    const uint8_t *data = node_data(node);
    size_t n = node_data_size(node);
    char16_t *hex = xnew<char16_t>(2 * n + 1);
    for (size_t i = 0; i < n; i++) {
        hex[2 * i] = DIGITS[data[i] >> 4];
        hex[2 * i + 1] = DIGITS[data[i] & 0xf];
    }
    hex[2 * n] = 0;
    return hex;
}

// The name of a file-path node, copied out: it may sit at an odd address, and it must end
// with the node even when the firmware left out its terminator.
char16_t *file_node_name(const EFI_DEVICE_PATH_PROTOCOL *node) {
    size_t n = node_data_size(node) / sizeof(char16_t);
    char16_t *name = xnew<char16_t>(n + 1);
    memcpy(name, node_data(node), n * sizeof(char16_t));
    name[n] = 0;
    return name;
}

// `previous` (null when nothing was written yet) followed by the text of one node.
char16_t *append_node_text(const char16_t *previous, const EFI_DEVICE_PATH_PROTOCOL *node) {
    const char16_t *text = previous ? previous : u"";
    if (node_is(node, END_DEVICE_PATH_TYPE, END_INSTANCE_DEVICE_PATH_SUBTYPE))
        return xformat("%ls%s,", text, previous ? "\\" : "");
    if (node_is(node, MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP)) {
        PoolPtr<char16_t> name(file_node_name(node));
        return xformat("%ls%s%ls", text, previous ? "\\" : "", name.get());
    }
    PoolPtr<char16_t> hex(node_data_hex(node));
    return xformat("%ls%sPath(%u,%u%s%ls)", text, previous ? "/" : "", unsigned(node->Type), unsigned(node->SubType),
                   node_data_size(node) > 0 ? "," : "", hex.get());
}

// Our own text form, for firmware without the device-path-to-text protocol.
EFI_STATUS device_path_to_own_str(const EFI_DEVICE_PATH_PROTOCOL *dp, char16_t **ret) {
    PoolPtr<char16_t> text;
    for (const EFI_DEVICE_PATH_PROTOCOL *node = dp; !device_path_is_end(node); node = device_path_next_node(node)) {
        if (device_path_node_is_short(node))
            return EFI_INVALID_PARAMETER;
        text.reset(append_node_text(text.get(), node));
    }
    *ret = text.release();
    return EFI_SUCCESS;
}

} // namespace

EFI_DEVICE_PATH_PROTOCOL *device_path_replace_node(const EFI_DEVICE_PATH_PROTOCOL *path,
                                                   const EFI_DEVICE_PATH_PROTOCOL *node,
                                                   const EFI_DEVICE_PATH_PROTOCOL *new_node) {
    ASSERT(path);
    ASSERT(node);
    size_t prefix = reinterpret_cast<const uint8_t *>(node) - reinterpret_cast<const uint8_t *>(path);
    size_t new_length = new_node ? device_path_node_length(new_node) : 0;
    auto *buf = static_cast<uint8_t *>(xmalloc(prefix + new_length + sizeof(END_NODE)));
    memcpy(buf, path, prefix);
    memcpy(buf + prefix, new_node, new_length);
    memcpy(buf + prefix + new_length, &END_NODE, sizeof(END_NODE));
    return reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(buf);
}

EFI_STATUS make_file_device_path(EFI_HANDLE device, const char16_t *file, EFI_DEVICE_PATH_PROTOCOL **ret) {
    ASSERT(file);
    ASSERT(ret);
    EFI_DEVICE_PATH_PROTOCOL *dp = nullptr;
    EFI_STATUS err = BS->HandleProtocol(device, &EFI_DEVICE_PATH_PROTOCOL_GUID, reinterpret_cast<void **>(&dp));
    if (err != EFI_SUCCESS)
        return err;
    size_t prefix = 0;
    err = device_path_prefix_size(dp, &prefix);
    if (err != EFI_SUCCESS)
        return err;

    size_t name_size = (str16_len(file) + 1) * sizeof(char16_t);
    size_t node_length = sizeof(EFI_DEVICE_PATH_PROTOCOL) + name_size;
    // The node's length field has 16 bits; a longer name would yield a corrupt path.
    if (node_length > UINT16_MAX)
        return EFI_INVALID_PARAMETER;
    const EFI_DEVICE_PATH_PROTOCOL header = {
        MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, {uint8_t(node_length), uint8_t(node_length >> 8)}};

    auto *buf = static_cast<uint8_t *>(xmalloc(prefix + name_size + 2 * sizeof(EFI_DEVICE_PATH_PROTOCOL)));
    uint8_t *p = buf;
    memcpy(p, dp, prefix);
    p += prefix;
    memcpy(p, &header, sizeof(header));
    p += sizeof(header);
    memcpy(p, file, name_size);
    p += name_size;
    memcpy(p, &END_NODE, sizeof(END_NODE));
    *ret = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(buf);
    return EFI_SUCCESS;
}

EFI_STATUS device_path_to_str(const EFI_DEVICE_PATH_PROTOCOL *dp, char16_t **ret) {
    ASSERT(dp);
    ASSERT(ret);
    EFI_DEVICE_PATH_TO_TEXT_PROTOCOL *to_text = nullptr;
    if (BS->LocateProtocol(&EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID, nullptr, reinterpret_cast<void **>(&to_text)) !=
        EFI_SUCCESS)
        return device_path_to_own_str(dp, ret);
    char16_t *text = to_text->ConvertDevicePathToText(dp, false, false);
    if (!text)
        return EFI_OUT_OF_RESOURCES;
    *ret = text;
    return EFI_SUCCESS;
}

} // namespace korvane
