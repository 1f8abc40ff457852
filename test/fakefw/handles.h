// The handle database: handles in creation order, each with its protocol interfaces in
// installation order. Backs HandleProtocol, LocateProtocol, LocateDevicePath and the
// install/uninstall services.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "boot/efi/efi.h"

namespace fakefw {

class Handles {
public:
    // A new handle without protocols.
    EFI_HANDLE create();
    // Installs `interface` on `handle` (a new handle when null) and returns the handle.
    // Installing a protocol twice on one handle fails the test.
    EFI_HANDLE install(EFI_HANDLE handle, const EFI_GUID &protocol, void *interface);
    // Removes the protocol; a handle left without protocols is deleted, as firmware does.
    void uninstall(EFI_HANDLE handle, const EFI_GUID &protocol);

    bool valid(EFI_HANDLE handle) const { return record(handle) != nullptr; }
    // The interface of `protocol` on `handle`, or null.
    void *find(EFI_HANDLE handle, const EFI_GUID &protocol) const;
    // Every live handle carrying `protocol`, in creation order.
    std::vector<EFI_HANDLE> with(const EFI_GUID &protocol) const;

    // Firmware side, called through the boot services table.
    void bind(EFI_BOOT_SERVICES &bs);
    EFI_STATUS handle_protocol(EFI_HANDLE handle, const EFI_GUID *protocol, VOID **interface);
    EFI_STATUS locate_protocol(const EFI_GUID *protocol, VOID *registration, VOID **interface);
    EFI_STATUS install_protocol_interface(EFI_HANDLE *handle, const EFI_GUID *protocol, EFI_INTERFACE_TYPE type,
                                          VOID *interface);
    EFI_STATUS uninstall_protocol_interface(EFI_HANDLE handle, const EFI_GUID *protocol, VOID *interface);
    using Pairs = std::vector<std::pair<const EFI_GUID *, VOID *>>;
    EFI_STATUS install_multiple(EFI_HANDLE *handle, const Pairs &pairs);
    EFI_STATUS uninstall_multiple(EFI_HANDLE handle, const Pairs &pairs);
    // The handle with `protocol` whose device path is the longest whole-node prefix of *path;
    // *path is advanced past that prefix.
    EFI_STATUS locate_device_path(const EFI_GUID *protocol, EFI_DEVICE_PATH_PROTOCOL **path, EFI_HANDLE *device);

private:
    using Installed = std::pair<EFI_GUID, void *>;
    struct Record {
        bool alive = true;
        std::vector<Installed> protocols;
    };
    Record *record(EFI_HANDLE handle) const;
    const Installed *entry(const Record &r, const EFI_GUID &protocol) const;
    bool device_path_taken(const EFI_DEVICE_PATH_PROTOCOL *path) const;
    void remove(Record &r, const EFI_GUID &protocol);

    // Records are never freed while the Firmware lives, so a stale handle stays recognisable.
    std::vector<std::unique_ptr<Record>> records_;
};

} // namespace fakefw
