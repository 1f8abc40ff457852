// Shared pieces of the launch tests: kernels the fake firmware can load and start, a stand-in
// for the stub's own image handle, and what a kernel's EFI entry does to fetch its initrd.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "boot/efi/efi.h"
#include "boot/efi/load-file.h"
#include "boot/efi/loaded-image.h"
#include "fakefw/fakefw.h"
#include "support/pe-builder.h"

namespace launchtest {

// A native x86-64 EFI application whose entry is the one registered for `marker`.
inline std::vector<uint8_t> kernel_image(const std::string &marker) {
    testsupport::PeImageSpec spec;
    spec.sections = {{".text", {0xc3}}, {fakefw::ENTRY_SECTION, testsupport::bytes_of(marker)}};
    return testsupport::build_pe(spec);
}

// The 24-byte device path of one vendor media node: type 4, subtype 3, length 20, the GUID
// bytes as laid out in memory, then the end node.
inline std::vector<uint8_t> vendor_media_path(std::vector<uint8_t> guid_bytes) {
    std::vector<uint8_t> path = {0x04, 0x03, 20, 0};
    path.insert(path.end(), guid_bytes.begin(), guid_bytes.end());
    path.insert(path.end(), {0x7f, 0xff, 4, 0});
    return path;
}

// 5568e427-68fc-4f3d-ac74-ca555231cc68 and 55c5d1f8-04cd-46b5-8a20-e56cbb3052d0: the first
// three fields little-endian, the last eight bytes as written.
inline const std::vector<uint8_t> INITRD_MEDIA_PATH = vendor_media_path(
    {0x27, 0xe4, 0x68, 0x55, 0xfc, 0x68, 0x3d, 0x4f, 0xac, 0x74, 0xca, 0x55, 0x52, 0x31, 0xcc, 0x68});
inline const std::vector<uint8_t> KERNEL_PAYLOAD_PATH = vendor_media_path(
    {0xf8, 0xd1, 0xc5, 0x55, 0xcd, 0x04, 0xb5, 0x46, 0x8a, 0x20, 0xe5, 0x6c, 0xbb, 0x30, 0x52, 0xd0});

// What a kernel's EFI entry finds of its initrd.
struct InitrdFetch {
    EFI_STATUS located = EFI_NOT_FOUND;
    EFI_STATUS first = EFI_NOT_FOUND; // the sizing call, without a buffer
    UINTN announced = 0;
    EFI_STATUS second = EFI_NOT_FOUND;
    std::string data;
};

// Looks the initrd media path up and reads it with the two-call pattern, as the kernel does.
inline InitrdFetch fetch_initrd() {
    InitrdFetch f;
    std::vector<uint8_t> path_copy = INITRD_MEDIA_PATH;
    auto *path = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(path_copy.data());
    EFI_HANDLE handle = nullptr;
    EFI_BOOT_SERVICES *bs = fakefw::Firmware::active().boot_services();
    f.located = bs->LocateDevicePath(&EFI_LOAD_FILE2_PROTOCOL_GUID, &path, &handle);
    if (f.located != EFI_SUCCESS)
        return f;
    EFI_LOAD_FILE2_PROTOCOL *load_file = nullptr;
    EXPECT_EQ(bs->HandleProtocol(handle, &EFI_LOAD_FILE2_PROTOCOL_GUID, reinterpret_cast<void **>(&load_file)),
              EFI_SUCCESS);
    auto *file_path = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(path_copy.data());
    f.first = load_file->LoadFile(load_file, file_path, false, &f.announced, nullptr);
    std::string buffer(f.announced, '\0');
    UINTN size = buffer.size();
    f.second = load_file->LoadFile(load_file, file_path, false, &size, buffer.data());
    f.data = buffer.substr(0, size);
    return f;
}

inline std::u16string load_options_of(EFI_HANDLE image) {
    EFI_LOADED_IMAGE_PROTOCOL *li = nullptr;
    EFI_BOOT_SERVICES *bs = fakefw::Firmware::active().boot_services();
    if (bs->HandleProtocol(image, &EFI_LOADED_IMAGE_PROTOCOL_GUID, reinterpret_cast<void **>(&li)) != EFI_SUCCESS ||
        !li->LoadOptions)
        return u"(none)";
    return std::u16string(static_cast<const char16_t *>(li->LoadOptions), li->LoadOptionsSize / 2);
}

} // namespace launchtest
