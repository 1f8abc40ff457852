#include "loaded-image-report.h"

#include "boot/firmware.h"
#include "guids.h"

namespace korvane::vmtest {

namespace {

// Reports of load options longer than this are cut, so that garbage cannot flood the log.
constexpr size_t LOAD_OPTIONS_REPORT_MAX = 64 * 1024;
constexpr size_t DEVICE_PATH_MAX = 4096;

// The size of a device path up to and including its end node; 0 when a node is malformed
// or no end node comes within DEVICE_PATH_MAX bytes.
size_t device_path_size(const EFI_DEVICE_PATH_PROTOCOL *dp) {
    auto *p = reinterpret_cast<const uint8_t *>(dp);
    size_t size = 0;
    while (size + sizeof(EFI_DEVICE_PATH_PROTOCOL) <= DEVICE_PATH_MAX) {
        const uint8_t *node = p + size;
        size_t length = node[2] | static_cast<size_t>(node[3]) << 8;
        if (length < sizeof(EFI_DEVICE_PATH_PROTOCOL) || size + length > DEVICE_PATH_MAX)
            return 0;
        size += length;
        if (node[0] == END_DEVICE_PATH_TYPE && node[1] == END_ENTIRE_DEVICE_PATH_SUBTYPE)
            return size;
    }
    return 0;
}

void report_device_path(Report &report, const char *key, const EFI_DEVICE_PATH_PROTOCOL *dp) {
    size_t size = dp ? device_path_size(dp) : 0;
    if (size == 0)
        report.text8(key, "none");
    else
        report.bytes(key, dp, size);
}

void report_load_options(Report &report, const EFI_LOADED_IMAGE_PROTOCOL *loaded_image) {
    report.number("load-options.size", loaded_image->LoadOptionsSize);
    if (!loaded_image->LoadOptions || loaded_image->LoadOptionsSize == 0)
        return;
    size_t size = loaded_image->LoadOptionsSize;
    if (size > LOAD_OPTIONS_REPORT_MAX)
        size = LOAD_OPTIONS_REPORT_MAX;
    report.bytes("load-options.hex", loaded_image->LoadOptions, size);

    auto *units = static_cast<const char16_t *>(loaded_image->LoadOptions);
    size_t n = 0;
    while (n < size / sizeof(char16_t) && units[n])
        n++;
    report.text("load-options.text", units, n);
}

} // namespace

void report_loaded_image(Report &report, EFI_HANDLE image, const EFI_LOADED_IMAGE_PROTOCOL *loaded_image) {
    void *device_path = nullptr;
    if (BS->HandleProtocol(image, &LOADED_IMAGE_DEVICE_PATH_PROTOCOL, &device_path) != EFI_SUCCESS)
        device_path = nullptr;
    report_device_path(report, "image.device-path", static_cast<const EFI_DEVICE_PATH_PROTOCOL *>(device_path));
    report_device_path(report, "image.file-path", loaded_image->FilePath);
    report_load_options(report, loaded_image);
}

} // namespace korvane::vmtest
