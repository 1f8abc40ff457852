// Disks as block I/O devices over in-memory images of 512-byte blocks, their partitions as
// handles of their own, and the boot services that find and connect such devices:
// LocateDevicePath (longest device-path prefix among the handles carrying a protocol),
// ConnectController and CalculateCrc32 (the CRC-32 of IEEE 802.3, as UEFI specifies it).
//
// A partition's handle, device path and block I/O appear only when ConnectController connects
// its disk, as a partition driver would make them. Reads can be failed per block, and every
// read that reaches a device is logged.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "boot/efi/block-io.h"
#include "boot/efi/efi.h"

namespace fakefw {

class Firmware;

using Bytes = std::vector<uint8_t>;

inline constexpr UINT32 DISK_BLOCK_SIZE = 512;

struct BlockRead {
    EFI_LBA lba;
    UINTN size;
};

// The block I/O protocol of a disk or a partition, with its media description.
struct BlockDevice {
    EFI_BLOCK_IO_PROTOCOL protocol = {};
    EFI_BLOCK_IO_MEDIA media = {};
    EFI_LBA first_block = 0; // where a partition starts on its disk
};

class Disk {
public:
    Disk(Firmware &fw, unsigned index, Bytes image, Bytes device_path);
    Disk(const Disk &) = delete;
    Disk &operator=(const Disk &) = delete;

    EFI_HANDLE handle() const { return handle_; }
    EFI_BLOCK_IO_PROTOCOL *protocol() { return &device_.protocol; }
    EFI_BLOCK_IO_MEDIA &media() { return device_.media; }
    // The blocks; the test may change them at any time.
    Bytes &image() { return image_; }
    const EFI_DEVICE_PATH_PROTOCOL *device_path() const {
        return reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(device_path_.data());
    }
    // The disk's nodes, then `node`, then the end node.
    Bytes partition_path(const HARDDRIVE_DEVICE_PATH &node) const;

    // A partition that appears when the disk is connected: on a new handle with the path
    // partition_path(node), or, when `on` is given, on that handle (which the test gave that
    // path already, e.g. a file system volume), which then only gains block I/O.
    void add_partition(const HARDDRIVE_DEVICE_PATH &node, EFI_HANDLE on = nullptr);
    // Handles of the partitions made so far, in the order they were added.
    const std::vector<EFI_HANDLE> &partition_handles() const { return partition_handles_; }
    bool connected() const { return connected_; }

    // Every read that covers `lba` fails with `status`.
    void fail_read(EFI_LBA lba, EFI_STATUS status) { failing_blocks_[lba] = status; }
    // Reads of the disk and of its partitions, LBAs relative to the device read.
    const std::vector<BlockRead> &reads() const { return reads_; }

    // Firmware side.
    void connect();
    bool owns(const EFI_BLOCK_IO_PROTOCOL *protocol) const;
    EFI_STATUS read(EFI_BLOCK_IO_PROTOCOL *This, UINT32 media_id, EFI_LBA lba, UINTN size, VOID *buffer);

private:
    struct Pending {
        HARDDRIVE_DEVICE_PATH node;
        EFI_HANDLE on;
    };
    BlockDevice *device(const EFI_BLOCK_IO_PROTOCOL *protocol);

    Firmware &fw_;
    Bytes image_;
    Bytes device_path_;
    BlockDevice device_;
    EFI_HANDLE handle_ = nullptr;
    bool connected_ = false;
    std::vector<Pending> pending_;
    std::vector<std::unique_ptr<BlockDevice>> partitions_;
    std::vector<std::unique_ptr<Bytes>> partition_paths_;
    std::vector<EFI_HANDLE> partition_handles_;
    std::map<EFI_LBA, EFI_STATUS> failing_blocks_;
    std::vector<BlockRead> reads_;
};

struct ConnectCall {
    EFI_HANDLE controller;
    bool recursive;
};

class BlockDevices {
public:
    explicit BlockDevices(Firmware &fw) : fw_(fw) {}
    BlockDevices(const BlockDevices &) = delete;
    BlockDevices &operator=(const BlockDevices &) = delete;

    // A disk on a new handle. `image` holds whole 512-byte blocks (at least one); when
    // `device_path` (a whole path, end node included) is empty the disk gets a PCI node.
    Disk &add_disk(Bytes image, Bytes device_path = {});
    // Every ConnectController call that got past fault injection.
    const std::vector<ConnectCall> &connects() const { return connects_; }

    // Firmware side, called through the boot services table.
    void bind(EFI_BOOT_SERVICES &bs);
    Disk *disk_of(const EFI_BLOCK_IO_PROTOCOL *protocol);
    EFI_STATUS connect_controller(EFI_HANDLE controller, EFI_HANDLE *drivers, EFI_DEVICE_PATH_PROTOCOL *remaining,
                                  BOOLEAN recursive);

private:
    Firmware &fw_;
    std::vector<std::unique_ptr<Disk>> disks_;
    std::vector<ConnectCall> connects_;
};

// The CRC-32 that CalculateCrc32 computes.
UINT32 crc32(const void *data, size_t size);

} // namespace fakefw
