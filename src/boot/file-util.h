// Files and directories on the firmware's simple file systems, the image's sidecar directory
// name and sorting of collected names. Every operation closes the handles it opened before it
// returns, except the handle it hands out; nothing here logs.
#pragma once

#include "efi/efi.h"
#include "efi/simple-file-system.h"

namespace korvane {

// The standard information buffer: the fixed part and room for any FAT long name.
constexpr size_t FILE_INFO_SIZE = sizeof(EFI_FILE_INFO) + 256 * sizeof(char16_t);
// Larger files are refused; reads go to the firmware in chunks of at most FILE_READ_CHUNK.
constexpr uint64_t FILE_READ_MAX = UINT64_C(16) << 30;
constexpr size_t FILE_READ_CHUNK = 0x100000;

// An open file or directory handle owned by one scope: closed on scope exit.
class FileHandle {
public:
    constexpr FileHandle() = default;
    constexpr explicit FileHandle(EFI_FILE_PROTOCOL *h) : h_(h) {}
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;
    FileHandle(FileHandle &&o) : h_(o.release()) {}
    FileHandle &operator=(FileHandle &&o) {
        reset(o.release());
        return *this;
    }
    ~FileHandle() { reset(); }

    EFI_FILE_PROTOCOL *get() const { return h_; }
    EFI_FILE_PROTOCOL *operator->() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    [[nodiscard]] EFI_FILE_PROTOCOL *release() {
        EFI_FILE_PROTOCOL *h = h_;
        h_ = nullptr;
        return h;
    }
    // Closes what is held (the result of Close is of no use) and takes `h`.
    void reset(EFI_FILE_PROTOCOL *h = nullptr) {
        if (h_)
            h_->Close(h_);
        h_ = h;
    }
    // For out-parameters: closes what is held and hands out the slot.
    EFI_FILE_PROTOCOL **out() {
        reset();
        return &h_;
    }

private:
    EFI_FILE_PROTOCOL *h_ = nullptr;
};

// The root directory of the file system on `device`.
EFI_STATUS open_volume_root(EFI_HANDLE device, EFI_FILE_PROTOCOL **ret);

// `path` below `root`, opened for reading; EFI_LOAD_ERROR when it is not a directory.
EFI_STATUS open_directory(EFI_FILE_PROTOCOL *root, const char16_t *path, EFI_FILE_PROTOCOL **ret);

// The next entry of a directory. Start with a null *buffer and pass the same buffer and size
// back each time: the buffer grows when an entry needs more room. At the end of the directory
// the buffer is freed and *buffer is null. After an error the buffer is the caller's to free.
EFI_STATUS readdir(EFI_FILE_PROTOCOL *handle, EFI_FILE_INFO **buffer, size_t *buffer_size);

// A new pool buffer with the information record of the open `handle`.
EFI_STATUS get_file_info(EFI_FILE_PROTOCOL *handle, EFI_FILE_INFO **ret);

// The whole file `name` below `dir` in one new pool buffer, followed by 2 zero bytes (3 when
// the size is odd), so that it is terminated as 8-bit and as UTF-16 text. *ret_size excludes
// them and is the number of bytes the firmware delivered, which a file shorter than its
// information says makes smaller than FileSize. EFI_BAD_BUFFER_SIZE above FILE_READ_MAX,
// EFI_OUT_OF_RESOURCES when the firmware has no buffer that large.
EFI_STATUS file_read(EFI_FILE_PROTOCOL *dir, const char16_t *name, char **ret, size_t *ret_size);

// Reads `name` below `dir` from its start straight into `buf`: at most `size` bytes, in chunks,
// fewer when the file ends first. *ret_read is the number of bytes that arrived.
EFI_STATUS file_read_into(EFI_FILE_PROTOCOL *dir, const char16_t *name, void *buf, size_t size, size_t *ret_read);

// The image's sidecar directory: its file path without a boot counter, with ".extra.d"
// appended. Null unless the path consists of file-path nodes alone and turns into text.
[[nodiscard]] char16_t *image_extra_dir(const EFI_DEVICE_PATH_PROTOCOL *file_path);

// In place: '/' becomes '\' and every run of '\' collapses into one.
void convert_efi_path(char16_t *path);

// In place: removes a boot counter "+LEFT" or "+LEFT-DONE" that ends the text or stands
// before a '.'. Only the first '+' is looked at.
void strip_boot_counter(char16_t *path);

// Stable in-place sort; `compare` gets the two pointers themselves.
using compare_pointer_func_t = int (*)(const void *a, const void *b);
void sort_pointer_array(void **array, size_t n_members, compare_pointer_func_t compare);

} // namespace korvane
