#include "esp-file.h"

#include "boot/firmware.h"
#include "boot/efi/simple-file-system.h"

namespace korvane::vmtest {

namespace {

// Closes a file handle on every way out.
class File {
public:
    File() = default;
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    ~File() {
        if (file_)
            file_->Close(file_);
    }
    EFI_FILE_PROTOCOL *operator->() const { return file_; }
    EFI_FILE_PROTOCOL *get() const { return file_; }
    EFI_FILE_PROTOCOL **out() { return &file_; }

private:
    EFI_FILE_PROTOCOL *file_ = nullptr;
};

} // namespace

EFI_STATUS read_device_file(EFI_HANDLE device, const char16_t *path, size_t max_size, PoolPtr<uint8_t> *ret_data,
                            size_t *ret_size) {
    EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *fs = nullptr;
    EFI_STATUS err = BS->HandleProtocol(device, &EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID, reinterpret_cast<void **>(&fs));
    if (err != EFI_SUCCESS)
        return err;
    File root, file;
    err = fs->OpenVolume(fs, root.out());
    if (err != EFI_SUCCESS)
        return err;
    err = root->Open(root.get(), file.out(), path, EFI_FILE_MODE_READ, 0);
    if (err != EFI_SUCCESS)
        return err;

    // One byte more than allowed shows a file that is too long.
    PoolPtr<uint8_t> data(xnew<uint8_t>(max_size + 1));
    size_t size = 0;
    for (;;) {
        UINTN n = max_size + 1 - size;
        if (n == 0)
            return EFI_BAD_BUFFER_SIZE;
        err = file->Read(file.get(), &n, data.get() + size);
        if (err != EFI_SUCCESS)
            return err;
        if (n == 0)
            break;
        size += n;
    }
    *ret_data = move(data);
    *ret_size = size;
    return EFI_SUCCESS;
}

} // namespace korvane::vmtest
