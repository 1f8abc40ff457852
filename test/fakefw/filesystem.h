// Simple file systems over in-memory directory trees, behaving like FAT where the stub can
// tell: names are found regardless of ASCII case, '\' separates path components, directories
// other than the root list "." and ".." first, then their entries in creation order.
//
// Each volume sits on a handle of its own with the simple file system protocol and a device
// path, so a loaded image's DeviceHandle can point at it. Every handle that OpenVolume or Open
// hands out and nobody closes is reported by the Firmware's leak check. Per file, members can
// be made to fail, reads and writes cut short, and GetInfo made to report another size.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "boot/efi/efi.h"
#include "boot/efi/simple-file-system.h"
#include "fakefw/faults.h"
#include "fakefw/service.h"

namespace fakefw {

class Firmware;
struct FileOps;

using Bytes = std::vector<uint8_t>;

// The EFI_FILE_PROTOCOL members that can be made to fail per file. Close always closes.
enum class FileOp : unsigned { Open, Delete, Read, Write, GetPosition, SetPosition, GetInfo, Flush };
inline constexpr unsigned FILE_OP_COUNT = 8;
const char *file_op_name(FileOp op);

// A file or directory of a volume.
class FileNode {
public:
    FileNode(std::u16string name, bool directory) : name_(std::move(name)), directory_(directory) {}
    FileNode(const FileNode &) = delete;
    FileNode &operator=(const FileNode &) = delete;

    const std::u16string &name() const { return name_; }
    bool is_directory() const { return directory_; }
    const Bytes &contents() const { return contents_; }
    void set_contents(Bytes contents) { contents_ = std::move(contents); }
    // Entries in listing order.
    std::vector<const FileNode *> children() const;

    // Attribute bits besides EFI_FILE_DIRECTORY (directories) and EFI_FILE_ARCHIVE (files).
    void set_attributes(UINT64 attributes) { attributes_ = attributes; }
    // GetInfo reports this FileSize instead of the size of the contents.
    void report_size(UINT64 size) { reported_size_ = size; }
    // Each Read delivers at most `n` bytes; each Write writes at most `n`.
    void limit_reads(size_t n) { read_limit_ = n; }
    void limit_writes(size_t n) { write_limit_ = n; }
    // Each Read of the file claims `n` bytes more than it delivered.
    void overstate_reads(size_t n) { read_overstatement_ = n; }

    // Open counts on the file it opens, the other members on the file of the handle.
    void fail(FileOp op, EFI_STATUS status, unsigned after = 0, unsigned times = ALWAYS) {
        faults_[unsigned(op)].fail(status, after, times);
    }
    unsigned calls(FileOp op) const { return faults_[unsigned(op)].calls(); }
    // The BufferSize of every Read on this file or directory, as passed in.
    const std::vector<UINTN> &read_requests() const { return read_requests_; }

private:
    friend class Volume;
    friend struct FileOps;

    std::u16string name_;
    bool directory_;
    Bytes contents_;
    std::vector<std::shared_ptr<FileNode>> children_;
    std::weak_ptr<FileNode> parent_;
    UINT64 attributes_ = 0;
    std::optional<UINT64> reported_size_;
    std::optional<size_t> read_limit_;
    std::optional<size_t> write_limit_;
    size_t read_overstatement_ = 0;
    std::array<FaultPlan, FILE_OP_COUNT> faults_;
    std::vector<UINTN> read_requests_;
};

class Volume {
public:
    Volume(Firmware &fw, unsigned index, Bytes device_path);
    Volume(const Volume &) = delete;
    Volume &operator=(const Volume &) = delete;

    EFI_HANDLE handle() const { return handle_; }
    EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *protocol() { return &protocol_; }
    const EFI_DEVICE_PATH_PROTOCOL *device_path() const {
        return reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(device_path_.data());
    }
    unsigned index() const { return index_; }

    FileNode &root() { return *root_; }
    // A file at `path` (from the root; a leading '\' is optional), with the directories on the
    // way created as needed. An existing file gets the new contents.
    FileNode &add_file(std::u16string_view path, Bytes contents = {});
    FileNode &add_file(std::u16string_view path, std::string_view text);
    FileNode &add_directory(std::u16string_view path);
    // The node at `path`, found as Open finds it, or null.
    FileNode *find(std::u16string_view path);

    // Opening for writing then fails with EFI_WRITE_PROTECTED.
    void set_read_only(bool read_only) { read_only_ = read_only; }
    bool read_only() const { return read_only_; }

    void fail_open_volume(EFI_STATUS status, unsigned after = 0, unsigned times = ALWAYS) {
        open_volume_.fail(status, after, times);
    }
    unsigned open_volume_calls() const { return open_volume_.calls(); }

    // Firmware side.
    std::optional<EFI_STATUS> enter_open_volume() { return open_volume_.enter(); }
    // Resolves `path` from `start` (from the root when it begins with '\'); null when missing.
    std::shared_ptr<FileNode> resolve(const std::shared_ptr<FileNode> &start, std::u16string_view path);
    // Creates `name` in `dir` (which must not hold it yet).
    std::shared_ptr<FileNode> create(const std::shared_ptr<FileNode> &dir, std::u16string_view name, bool directory);
    std::shared_ptr<FileNode> root_node() { return root_; }
    // "\dir\name" of a node still in the tree, else its name alone.
    std::u16string path_of(const FileNode &node) const;
    // Takes `node` out of its directory.
    void remove(FileNode &node);

private:
    FileNode &make_path(std::u16string_view path, bool directory);

    unsigned index_;
    Bytes device_path_;
    EFI_SIMPLE_FILE_SYSTEM_PROTOCOL protocol_ = {};
    EFI_HANDLE handle_ = nullptr;
    std::shared_ptr<FileNode> root_;
    bool read_only_ = false;
    FaultPlan open_volume_;
};

// The volumes of one Firmware and every file handle they handed out.
class FileSystems {
public:
    explicit FileSystems(Firmware &fw) : fw_(fw) {}
    FileSystems(const FileSystems &) = delete;
    FileSystems &operator=(const FileSystems &) = delete;

    // A new volume on a new handle. `device_path` holds a whole path, end node included; when
    // empty, the volume gets a hard-drive node of a GPT partition numbered after it.
    Volume &add_volume(Bytes device_path = {});

    // The regular file a whole device path names: a volume's own path without its end node,
    // then file-path nodes whose names, joined by '\', lead from the root. Null when none does.
    FileNode *file_at(const EFI_DEVICE_PATH_PROTOCOL *path);

    // Handles handed out and not closed yet.
    size_t open_count() const;
    // Bytes that Read delivered from files since the last reset.
    uint64_t bytes_read() const { return bytes_read_; }
    void reset_bytes_read() { bytes_read_ = 0; }
    void count_read(size_t n) { bytes_read_ += n; }
    // One description per open handle: the volume and the path of the file.
    std::vector<std::string> leaks() const;

    // Firmware side: the volume behind `This`, a new handle on `node`, and the live handle
    // behind `This`. Null, and a test failure, for a closed or foreign one.
    Volume *volume(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *This);
    EFI_FILE_PROTOCOL *open(Volume &volume, std::shared_ptr<FileNode> node, bool writable);
    struct Handle {
        EFI_FILE_PROTOCOL protocol;
        Volume *volume;
        std::shared_ptr<FileNode> node;
        bool writable;
        bool open = true;
        // Files: the byte offset. Directories: the index of the next entry to list.
        UINT64 position = 0;
    };
    Handle *handle(EFI_FILE_PROTOCOL *This);

private:
    Firmware &fw_;
    std::vector<std::unique_ptr<Volume>> volumes_;
    // Closed handles stay, so that a call through one is recognised rather than undefined.
    std::vector<std::unique_ptr<Handle>> handles_;
    uint64_t bytes_read_ = 0;
};

} // namespace fakefw
