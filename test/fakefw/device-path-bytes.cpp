#include "fakefw/device-path-bytes.h"

namespace fakefw {

namespace {

// A longer path is taken as malformed rather than walked.
constexpr size_t MAX_NODES = 1024;

} // namespace

std::vector<uint8_t> device_path_bytes(const EFI_DEVICE_PATH_PROTOCOL *path) {
    if (!path)
        return {};
    const auto *bytes = reinterpret_cast<const uint8_t *>(path);
    size_t size = 0;
    for (size_t i = 0; i < MAX_NODES; i++) {
        const auto *node = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(bytes + size);
        size_t length = node->Length[0] | node->Length[1] << 8;
        if (length < sizeof(EFI_DEVICE_PATH_PROTOCOL))
            return {};
        size += length;
        if (node->Type == END_DEVICE_PATH_TYPE && node->SubType == END_ENTIRE_DEVICE_PATH_SUBTYPE)
            return {bytes, bytes + size};
    }
    return {};
}

} // namespace fakefw
