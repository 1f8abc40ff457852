#include "fakefw/handles.h"

#include <cstring>
#include <gtest/gtest.h>

#include "fakefw/trampoline.h"

namespace fakefw {

namespace {

// Firmware walks at most this many nodes of a device path it compares.
constexpr size_t MAX_DEVICE_PATH_NODES = 1024;

Handles &handles() { return Firmware::active().handles(); }

EFI_STATUS handle_protocol(EFI_HANDLE handle, const EFI_GUID *protocol, VOID **interface) {
    return handles().handle_protocol(handle, protocol, interface);
}
EFI_STATUS locate_protocol(const EFI_GUID *protocol, VOID *registration, VOID **interface) {
    return handles().locate_protocol(protocol, registration, interface);
}
EFI_STATUS install_protocol_interface(EFI_HANDLE *handle, const EFI_GUID *protocol, EFI_INTERFACE_TYPE type,
                                      VOID *interface) {
    return handles().install_protocol_interface(handle, protocol, type, interface);
}
EFI_STATUS uninstall_protocol_interface(EFI_HANDLE handle, const EFI_GUID *protocol, VOID *interface) {
    return handles().uninstall_protocol_interface(handle, protocol, interface);
}
EFI_STATUS locate_device_path(const EFI_GUID *protocol, EFI_DEVICE_PATH_PROTOCOL **path, EFI_HANDLE *device) {
    return handles().locate_device_path(protocol, path, device);
}

// The (GUID, interface) pairs of a variadic member, up to the null GUID.
Handles::Pairs read_pairs(__builtin_ms_va_list &ap) {
    Handles::Pairs pairs;
    while (const EFI_GUID *protocol = __builtin_va_arg(ap, const EFI_GUID *))
        pairs.emplace_back(protocol, __builtin_va_arg(ap, VOID *));
    return pairs;
}

// The variadic members cannot go through Entry: they read their pairs here.
EFI_STATUS EFIAPI install_multiple(EFI_HANDLE *handle, ...) {
    if (auto injected = Firmware::active().faults().enter(Service::InstallMultipleProtocolInterfaces))
        return *injected;
    __builtin_ms_va_list ap;
    __builtin_ms_va_start(ap, handle);
    Handles::Pairs pairs = read_pairs(ap);
    __builtin_ms_va_end(ap);
    return handles().install_multiple(handle, pairs);
}

EFI_STATUS EFIAPI uninstall_multiple(EFI_HANDLE handle, ...) {
    if (auto injected = Firmware::active().faults().enter(Service::UninstallMultipleProtocolInterfaces))
        return *injected;
    __builtin_ms_va_list ap;
    __builtin_ms_va_start(ap, handle);
    Handles::Pairs pairs = read_pairs(ap);
    __builtin_ms_va_end(ap);
    return handles().uninstall_multiple(handle, pairs);
}

size_t node_length(const EFI_DEVICE_PATH_PROTOCOL *node) { return node->Length[0] | node->Length[1] << 8; }

bool is_end(const EFI_DEVICE_PATH_PROTOCOL *node) {
    return node->Type == END_DEVICE_PATH_TYPE && node->SubType == END_ENTIRE_DEVICE_PATH_SUBTYPE;
}

// Size in bytes including the end node; 0 for a malformed path.
size_t device_path_size(const EFI_DEVICE_PATH_PROTOCOL *path) {
    if (!path)
        return 0;
    const auto *bytes = reinterpret_cast<const uint8_t *>(path);
    size_t size = 0;
    for (size_t i = 0; i < MAX_DEVICE_PATH_NODES; i++) {
        const auto *node = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(bytes + size);
        size_t length = node_length(node);
        if (length < sizeof(EFI_DEVICE_PATH_PROTOCOL))
            return 0;
        size += length;
        if (is_end(node))
            return size;
    }
    return 0;
}

// Bytes of `prefix` before its end node when they are whole leading nodes of `path`, else 0.
// A prefix of just the end node matches with 0 bytes: the caller tells that apart by `matched`.
size_t prefix_length(const EFI_DEVICE_PATH_PROTOCOL *prefix, const EFI_DEVICE_PATH_PROTOCOL *path, bool *matched) {
    *matched = false;
    size_t prefix_size = device_path_size(prefix), path_size = device_path_size(path);
    if (prefix_size == 0 || path_size == 0)
        return 0;
    size_t length = prefix_size - sizeof(EFI_DEVICE_PATH_PROTOCOL);
    if (length > path_size - sizeof(EFI_DEVICE_PATH_PROTOCOL) || memcmp(prefix, path, length) != 0)
        return 0;
    const auto *bytes = reinterpret_cast<const uint8_t *>(path);
    size_t at = 0;
    while (at < length)
        at += node_length(reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(bytes + at));
    *matched = at == length;
    return *matched ? length : 0;
}

bool same_device_path(const EFI_DEVICE_PATH_PROTOCOL *a, const EFI_DEVICE_PATH_PROTOCOL *b) {
    size_t size = device_path_size(a);
    return size != 0 && size == device_path_size(b) && memcmp(a, b, size) == 0;
}

} // namespace

EFI_HANDLE Handles::create() {
    records_.push_back(std::make_unique<Record>());
    return records_.back().get();
}

EFI_HANDLE Handles::install(EFI_HANDLE handle, const EFI_GUID &protocol, void *interface) {
    if (!handle)
        handle = create();
    Record *r = record(handle);
    if (!r) {
        ADD_FAILURE() << "fakefw: install on an invalid handle " << handle;
        return nullptr;
    }
    if (entry(*r, protocol)) {
        ADD_FAILURE() << "fakefw: protocol installed twice on handle " << handle;
        return handle;
    }
    r->protocols.emplace_back(protocol, interface);
    return handle;
}

void Handles::uninstall(EFI_HANDLE handle, const EFI_GUID &protocol) {
    Record *r = record(handle);
    if (!r || !entry(*r, protocol)) {
        ADD_FAILURE() << "fakefw: uninstall of a protocol that handle " << handle << " does not carry";
        return;
    }
    remove(*r, protocol);
}

void *Handles::find(EFI_HANDLE handle, const EFI_GUID &protocol) const {
    Record *r = record(handle);
    const Installed *e = r ? entry(*r, protocol) : nullptr;
    return e ? e->second : nullptr;
}

std::vector<EFI_HANDLE> Handles::with(const EFI_GUID &protocol) const {
    std::vector<EFI_HANDLE> out;
    for (auto &r : records_)
        if (r->alive && entry(*r, protocol))
            out.push_back(r.get());
    return out;
}

Handles::Record *Handles::record(EFI_HANDLE handle) const {
    for (auto &r : records_)
        if (r.get() == handle)
            return r->alive ? r.get() : nullptr;
    return nullptr;
}

const Handles::Installed *Handles::entry(const Record &r, const EFI_GUID &protocol) const {
    for (const Installed &e : r.protocols)
        if (efi_guid_equal(e.first, protocol))
            return &e;
    return nullptr;
}

bool Handles::device_path_taken(const EFI_DEVICE_PATH_PROTOCOL *path) const {
    for (EFI_HANDLE h : with(EFI_DEVICE_PATH_PROTOCOL_GUID))
        if (same_device_path(static_cast<const EFI_DEVICE_PATH_PROTOCOL *>(find(h, EFI_DEVICE_PATH_PROTOCOL_GUID)),
                             path))
            return true;
    return false;
}

void Handles::remove(Record &r, const EFI_GUID &protocol) {
    for (auto it = r.protocols.begin(); it != r.protocols.end(); ++it)
        if (efi_guid_equal(it->first, protocol)) {
            r.protocols.erase(it);
            break;
        }
    if (r.protocols.empty())
        r.alive = false;
}

void Handles::bind(EFI_BOOT_SERVICES &bs) {
    bs.HandleProtocol = Entry<Service::HandleProtocol, fakefw::handle_protocol>::call;
    bs.LocateProtocol = Entry<Service::LocateProtocol, fakefw::locate_protocol>::call;
    bs.InstallProtocolInterface = Entry<Service::InstallProtocolInterface, fakefw::install_protocol_interface>::call;
    bs.UninstallProtocolInterface =
        Entry<Service::UninstallProtocolInterface, fakefw::uninstall_protocol_interface>::call;
    bs.LocateDevicePath = Entry<Service::LocateDevicePath, fakefw::locate_device_path>::call;
    bs.InstallMultipleProtocolInterfaces = fakefw::install_multiple;
    bs.UninstallMultipleProtocolInterfaces = fakefw::uninstall_multiple;
}

EFI_STATUS Handles::handle_protocol(EFI_HANDLE handle, const EFI_GUID *protocol, VOID **interface) {
    Record *r = record(handle);
    if (!r || !protocol || !interface)
        return EFI_INVALID_PARAMETER;
    const Installed *e = entry(*r, *protocol);
    *interface = e ? e->second : nullptr;
    return e ? EFI_SUCCESS : EFI_UNSUPPORTED;
}

EFI_STATUS Handles::locate_protocol(const EFI_GUID *protocol, VOID *registration, VOID **interface) {
    if (!protocol || !interface)
        return EFI_INVALID_PARAMETER;
    if (registration) {
        ADD_FAILURE() << "fakefw: LocateProtocol with a registration key is not implemented";
        return EFI_UNSUPPORTED;
    }
    std::vector<EFI_HANDLE> found = with(*protocol);
    *interface = found.empty() ? nullptr : find(found.front(), *protocol);
    return found.empty() ? EFI_NOT_FOUND : EFI_SUCCESS;
}

EFI_STATUS Handles::install_protocol_interface(EFI_HANDLE *handle, const EFI_GUID *protocol, EFI_INTERFACE_TYPE type,
                                               VOID *interface) {
    if (!handle || !protocol || type != EFI_NATIVE_INTERFACE)
        return EFI_INVALID_PARAMETER;
    return install_multiple(handle, {{protocol, interface}});
}

EFI_STATUS Handles::uninstall_protocol_interface(EFI_HANDLE handle, const EFI_GUID *protocol, VOID *interface) {
    Record *r = record(handle);
    if (!r || !protocol)
        return EFI_INVALID_PARAMETER;
    const Installed *e = entry(*r, *protocol);
    if (!e || e->second != interface)
        return EFI_NOT_FOUND;
    remove(*r, *protocol);
    return EFI_SUCCESS;
}

EFI_STATUS Handles::locate_device_path(const EFI_GUID *protocol, EFI_DEVICE_PATH_PROTOCOL **path,
                                       EFI_HANDLE *device) {
    if (!protocol || !path || !*path || !device)
        return EFI_INVALID_PARAMETER;
    EFI_HANDLE best = nullptr;
    size_t best_length = 0;
    for (EFI_HANDLE h : with(*protocol)) {
        bool matched = false;
        size_t length = prefix_length(static_cast<const EFI_DEVICE_PATH_PROTOCOL *>(find(h, EFI_DEVICE_PATH_PROTOCOL_GUID)),
                                      *path, &matched);
        if (matched && (!best || length > best_length)) {
            best = h;
            best_length = length;
        }
    }
    if (!best)
        return EFI_NOT_FOUND;
    *device = best;
    *path = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(reinterpret_cast<uint8_t *>(*path) + best_length);
    return EFI_SUCCESS;
}

// All pairs are checked before anything is installed, so a failure changes nothing.
EFI_STATUS Handles::install_multiple(EFI_HANDLE *handle, const Pairs &pairs) {
    if (!handle)
        return EFI_INVALID_PARAMETER;
    Record *r = *handle ? record(*handle) : nullptr;
    if (*handle && !r)
        return EFI_INVALID_PARAMETER;
    for (size_t i = 0; i < pairs.size(); i++) {
        const EFI_GUID &protocol = *pairs[i].first;
        if (r && entry(*r, protocol))
            return EFI_INVALID_PARAMETER;
        for (size_t j = 0; j < i; j++)
            if (efi_guid_equal(*pairs[j].first, protocol))
                return EFI_INVALID_PARAMETER;
        if (efi_guid_equal(protocol, EFI_DEVICE_PATH_PROTOCOL_GUID) &&
            device_path_taken(static_cast<const EFI_DEVICE_PATH_PROTOCOL *>(pairs[i].second)))
            return EFI_ALREADY_STARTED;
    }
    if (!*handle)
        *handle = create();
    for (auto &[protocol, interface] : pairs)
        record(*handle)->protocols.emplace_back(*protocol, interface);
    return EFI_SUCCESS;
}

EFI_STATUS Handles::uninstall_multiple(EFI_HANDLE handle, const Pairs &pairs) {
    Record *r = record(handle);
    if (!r)
        return EFI_INVALID_PARAMETER;
    for (auto &[protocol, interface] : pairs) {
        const Installed *e = entry(*r, *protocol);
        if (!e || e->second != interface)
            return EFI_INVALID_PARAMETER;
    }
    for (auto &[protocol, interface] : pairs)
        remove(*r, *protocol);
    return EFI_SUCCESS;
}

} // namespace fakefw
