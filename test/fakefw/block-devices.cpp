#include "fakefw/block-devices.h"

#include <cstring>
#include <gtest/gtest.h>

#include "fakefw/fakefw.h"
#include "fakefw/trampoline.h"

namespace fakefw {

namespace {

// Firmware walks at most this many nodes of a device path it compares.
constexpr size_t MAX_DEVICE_PATH_NODES = 1024;
constexpr EFI_DEVICE_PATH_PROTOCOL END_NODE = {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, {4, 0}};

BlockDevices &block_devices() { return Firmware::active().block_devices(); }

size_t node_length(const uint8_t *node) { return node[2] | node[3] << 8; }

// Bytes before the end node; nullopt for a malformed path.
std::optional<size_t> prefix_size(const EFI_DEVICE_PATH_PROTOCOL *path) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(path);
    size_t size = 0;
    for (size_t i = 0; i < MAX_DEVICE_PATH_NODES; i++) {
        const uint8_t *node = bytes + size;
        if (node[0] == END_DEVICE_PATH_TYPE && node[1] == END_ENTIRE_DEVICE_PATH_SUBTYPE)
            return size;
        if (node_length(node) < sizeof(EFI_DEVICE_PATH_PROTOCOL))
            return std::nullopt;
        size += node_length(node);
    }
    return std::nullopt;
}

// A PCI node (function 0, device `index`) and the end node.
Bytes default_disk_path(unsigned index) {
    return {0x01, 0x01, 6, 0, 0, uint8_t(index), 0x7f, 0xff, 4, 0};
}

EFI_STATUS read_blocks(EFI_BLOCK_IO_PROTOCOL *This, UINT32 media_id, EFI_LBA lba, UINTN size, VOID *buffer) {
    Disk *disk = block_devices().disk_of(This);
    if (!disk) {
        ADD_FAILURE() << "fakefw: ReadBlocks called with a foreign This";
        return EFI_INVALID_PARAMETER;
    }
    return disk->read(This, media_id, lba, size, buffer);
}

EFI_STATUS connect_controller(EFI_HANDLE controller, EFI_HANDLE *drivers, EFI_DEVICE_PATH_PROTOCOL *remaining,
                              BOOLEAN recursive) {
    return block_devices().connect_controller(controller, drivers, remaining, recursive);
}

EFI_STATUS locate_device_path(const EFI_GUID *protocol, EFI_DEVICE_PATH_PROTOCOL **path, EFI_HANDLE *device) {
    if (!protocol || !path || !*path || !device)
        return EFI_INVALID_PARAMETER;
    std::optional<size_t> wanted = prefix_size(*path);
    if (!wanted)
        return EFI_INVALID_PARAMETER;
    Handles &handles = Firmware::active().handles();
    EFI_HANDLE best = nullptr;
    size_t best_size = 0;
    for (EFI_HANDLE h : handles.with(*protocol)) {
        auto *dp = static_cast<const EFI_DEVICE_PATH_PROTOCOL *>(handles.find(h, EFI_DEVICE_PATH_PROTOCOL_GUID));
        std::optional<size_t> size = dp ? prefix_size(dp) : std::nullopt;
        if (!size || *size > *wanted || (best && *size <= best_size) || memcmp(dp, *path, *size) != 0)
            continue;
        best = h;
        best_size = *size;
    }
    if (!best)
        return EFI_NOT_FOUND;
    *device = best;
    *path = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(reinterpret_cast<uint8_t *>(*path) + best_size);
    return EFI_SUCCESS;
}

EFI_STATUS calculate_crc32(const VOID *data, UINTN size, UINT32 *crc) {
    if (!data || size == 0 || !crc)
        return EFI_INVALID_PARAMETER;
    *crc = crc32(data, size);
    return EFI_SUCCESS;
}

void bind_block_io(EFI_BLOCK_IO_PROTOCOL &protocol, EFI_BLOCK_IO_MEDIA &media) {
    protocol.Revision = EFI_BLOCK_IO_PROTOCOL_REVISION3;
    protocol.Media = &media;
    fill_unimplemented(protocol);
    protocol.ReadBlocks = Entry<Service::BlockIoReadBlocks, read_blocks>::call;
}

} // namespace

UINT32 crc32(const void *data, size_t size) {
    static const auto TABLE = [] {
        std::array<UINT32, 256> t{};
        for (UINT32 i = 0; i < 256; i++) {
            UINT32 c = i;
            for (int k = 0; k < 8; k++)
                c = c & 1 ? 0xedb88320 ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    UINT32 c = 0xffffffff;
    const auto *p = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < size; i++)
        c = TABLE[(c ^ p[i]) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffff;
}

Disk::Disk(Firmware &fw, unsigned index, Bytes image, Bytes device_path)
    : fw_(fw), image_(std::move(image)),
      device_path_(device_path.empty() ? default_disk_path(index) : std::move(device_path)) {
    if (image_.empty() || image_.size() % DISK_BLOCK_SIZE != 0)
        ADD_FAILURE() << "fakefw: a disk image of " << image_.size() << " bytes is not whole blocks";
    device_.media = {.MediaId = 1 + index,
                     .MediaPresent = 1,
                     .BlockSize = DISK_BLOCK_SIZE,
                     .LastBlock = image_.size() / DISK_BLOCK_SIZE - 1};
    bind_block_io(device_.protocol, device_.media);
    handle_ = fw.handles().install(nullptr, EFI_BLOCK_IO_PROTOCOL_GUID, &device_.protocol);
    fw.handles().install(handle_, EFI_DEVICE_PATH_PROTOCOL_GUID, device_path_.data());
}

Bytes Disk::partition_path(const HARDDRIVE_DEVICE_PATH &node) const {
    Bytes path(device_path_.begin(), device_path_.end() - sizeof(END_NODE));
    const auto *n = reinterpret_cast<const uint8_t *>(&node);
    path.insert(path.end(), n, n + sizeof(node));
    const auto *end = reinterpret_cast<const uint8_t *>(&END_NODE);
    path.insert(path.end(), end, end + sizeof(END_NODE));
    return path;
}

void Disk::add_partition(const HARDDRIVE_DEVICE_PATH &node, EFI_HANDLE on) {
    pending_.push_back({node, on});
    if (connected_)
        connect();
}

void Disk::connect() {
    connected_ = true;
    for (const Pending &p : pending_) {
        auto device = std::make_unique<BlockDevice>();
        device->first_block = p.node.PartitionStart;
        device->media = device_.media;
        device->media.LogicalPartition = 1;
        device->media.LastBlock = p.node.PartitionSize - 1;
        bind_block_io(device->protocol, device->media);
        EFI_HANDLE h = p.on;
        if (!h) {
            partition_paths_.push_back(std::make_unique<Bytes>(partition_path(p.node)));
            h = fw_.handles().install(nullptr, EFI_DEVICE_PATH_PROTOCOL_GUID, partition_paths_.back()->data());
        }
        fw_.handles().install(h, EFI_BLOCK_IO_PROTOCOL_GUID, &device->protocol);
        partition_handles_.push_back(h);
        partitions_.push_back(std::move(device));
    }
    pending_.clear();
}

BlockDevice *Disk::device(const EFI_BLOCK_IO_PROTOCOL *protocol) {
    if (protocol == &device_.protocol)
        return &device_;
    for (auto &p : partitions_)
        if (protocol == &p->protocol)
            return p.get();
    return nullptr;
}

bool Disk::owns(const EFI_BLOCK_IO_PROTOCOL *protocol) const {
    return const_cast<Disk *>(this)->device(protocol) != nullptr;
}

EFI_STATUS Disk::read(EFI_BLOCK_IO_PROTOCOL *This, UINT32 media_id, EFI_LBA lba, UINTN size, VOID *buffer) {
    BlockDevice *dev = device(This);
    reads_.push_back({lba, size});
    if (media_id != dev->media.MediaId)
        return EFI_MEDIA_CHANGED;
    if (!buffer)
        return EFI_INVALID_PARAMETER;
    if (size % DISK_BLOCK_SIZE != 0)
        return EFI_BAD_BUFFER_SIZE;
    UINTN blocks = size / DISK_BLOCK_SIZE;
    if (lba > dev->media.LastBlock || blocks > dev->media.LastBlock - lba + 1)
        return EFI_INVALID_PARAMETER;
    EFI_LBA first = dev->first_block + lba;
    for (auto &[block, status] : failing_blocks_)
        if (block >= first && block < first + blocks)
            return status;
    if (first + blocks > image_.size() / DISK_BLOCK_SIZE)
        return EFI_DEVICE_ERROR;
    memcpy(buffer, image_.data() + first * DISK_BLOCK_SIZE, size);
    return EFI_SUCCESS;
}

Disk &BlockDevices::add_disk(Bytes image, Bytes device_path) {
    disks_.push_back(std::make_unique<Disk>(fw_, unsigned(disks_.size()), std::move(image), std::move(device_path)));
    return *disks_.back();
}

void BlockDevices::bind(EFI_BOOT_SERVICES &bs) {
    bs.LocateDevicePath = Entry<Service::LocateDevicePath, locate_device_path>::call;
    bs.ConnectController = Entry<Service::ConnectController, fakefw::connect_controller>::call;
    bs.CalculateCrc32 = Entry<Service::CalculateCrc32, calculate_crc32>::call;
}

Disk *BlockDevices::disk_of(const EFI_BLOCK_IO_PROTOCOL *protocol) {
    for (auto &d : disks_)
        if (d->owns(protocol))
            return d.get();
    return nullptr;
}

EFI_STATUS BlockDevices::connect_controller(EFI_HANDLE controller, EFI_HANDLE *, EFI_DEVICE_PATH_PROTOCOL *,
                                            BOOLEAN recursive) {
    if (!fw_.handles().valid(controller))
        return EFI_INVALID_PARAMETER;
    connects_.push_back({controller, recursive != 0});
    for (auto &d : disks_)
        if (d->handle() == controller) {
            d->connect();
            return EFI_SUCCESS;
        }
    return EFI_NOT_FOUND;
}

} // namespace fakefw
