#include "initrd-report.h"

#include "boot/efi/load-file.h"
#include "boot/firmware.h"
#include "boot/sha256.h"
#include "guids.h"

namespace korvane::vmtest {

namespace {

constexpr VENDOR_MEDIA_DEVICE_PATH initrd_device_path = vendor_media_device_path(LINUX_INITRD_MEDIA);

bool is_end_node(const EFI_DEVICE_PATH_PROTOCOL *dp) {
    return dp->Type == END_DEVICE_PATH_TYPE && dp->SubType == END_ENTIRE_DEVICE_PATH_SUBTYPE;
}

// The provider's protocol and the rest of the path after the part its handle matched;
// null when no handle carries LoadFile2 for the whole path.
EFI_LOAD_FILE2_PROTOCOL *locate_provider(Report &report, EFI_DEVICE_PATH_PROTOCOL **ret_remaining) {
    auto *dp =
        reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(const_cast<VENDOR_MEDIA_DEVICE_PATH *>(&initrd_device_path));
    EFI_HANDLE handle = nullptr;
    EFI_STATUS err = BS->LocateDevicePath(&LOAD_FILE2_PROTOCOL, &dp, &handle);
    report.status("initrd.locate-status", err);

    void *protocol = nullptr;
    // A handle that matches only a leading part of the path does not provide the initrd.
    bool found = err == EFI_SUCCESS && is_end_node(dp) &&
                 BS->HandleProtocol(handle, &LOAD_FILE2_PROTOCOL, &protocol) == EFI_SUCCESS && protocol;
    report.flag("initrd.provider", found);
    *ret_remaining = dp;
    return found ? static_cast<EFI_LOAD_FILE2_PROTOCOL *>(protocol) : nullptr;
}

} // namespace

FetchedInitrd fetch_and_report_initrd(Report &report) {
    FetchedInitrd fetched;
    EFI_DEVICE_PATH_PROTOCOL *remaining = nullptr;
    EFI_LOAD_FILE2_PROTOCOL *provider = locate_provider(report, &remaining);
    if (!provider)
        return fetched;

    UINTN size = 0;
    EFI_STATUS err = provider->LoadFile(provider, remaining, false, &size, nullptr);
    report.status("initrd.size-status", err);
    report.number("initrd.size", size);
    if (err != EFI_BUFFER_TOO_SMALL || size == 0)
        return fetched;

    Pages pages(xmalloc_pages(AllocateAnyPages, EfiLoaderData, efi_size_to_pages(size), 0));
    UINTN loaded_size = size;
    err = provider->LoadFile(provider, remaining, false, &loaded_size, pages.ptr());
    report.status("initrd.load-status", err);
    report.number("initrd.loaded-size", loaded_size);
    if (err != EFI_SUCCESS || loaded_size > size)
        return fetched;

    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_direct(pages.ptr(), loaded_size, digest);
    report.bytes("initrd.sha256", digest, sizeof(digest));
    fetched.pages = move(pages);
    fetched.size = loaded_size;
    return fetched;
}

} // namespace korvane::vmtest
