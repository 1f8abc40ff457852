#include "cpio.h"

#include "dir-names.h"
#include "file-util.h"
#include "log.h"
#include "measure.h"

namespace korvane {

namespace {

constexpr size_t CPIO_HEADER_SIZE = 110;
constexpr uint32_t CPIO_INODE_EXHAUSTED = 0xffffffff;
constexpr uint32_t CPIO_MODE_REGULAR = 0100000;
constexpr uint32_t CPIO_MODE_DIRECTORY = 040000;
constexpr uint32_t CPIO_LEADING_DIR_MODE = 0555;

// Written as a fixed record: its name size carries an uppercase "B", which readers accept
// like the lowercase digits of our members. The literal's own NUL is the last padding byte.
constexpr char CPIO_TRAILER[] = "070701"
                                "00000000" // c_ino
                                "00000000" // c_mode
                                "00000000" // c_uid
                                "00000000" // c_gid
                                "00000001" // c_nlink
                                "00000000" // c_mtime
                                "00000000" // c_filesize
                                "00000000" // c_devmajor
                                "00000000" // c_devminor
                                "00000000" // c_rdevmajor
                                "00000000" // c_rdevminor
                                "0000000B" // c_namesize
                                "00000000" // c_check
                                "TRAILER!!!\0\0\0";
static_assert(sizeof(CPIO_TRAILER) == 124);

[[nodiscard]] bool align4(size_t *n) {
    if (!INC_SAFE(n, size_t{3}))
        return false;
    *n &= ~size_t{3};
    return true;
}

// The archive size after appending a member with a name of `name_size` bytes (NUL included)
// and `contents_size` bytes of contents; false when a size does not fit.
[[nodiscard]] bool cpio_size_after(size_t archive_size, size_t name_size, size_t contents_size, size_t *ret) {
    size_t header = CPIO_HEADER_SIZE, data = contents_size;
    if (name_size > UINT32_MAX || !INC_SAFE(&header, name_size) || !align4(&header) || !align4(&data) ||
        !INC_SAFE(&header, data) || !INC_SAFE(&archive_size, header))
        return false;
    *ret = archive_size;
    return true;
}

// Padding is counted from the archive start, so the size computed for a member only holds
// when the archive ends on a 4-byte boundary; anything else would write past the buffer.
void assert_archive(void *const *cpio_buffer, const size_t *cpio_buffer_size) {
    ASSERT(cpio_buffer && cpio_buffer_size);
    ASSERT(*cpio_buffer || *cpio_buffer_size == 0);
    ASSERT(*cpio_buffer_size % 4 == 0);
}

// Replaces the archive with a copy of exactly `new_size` bytes; returns where the new bytes start.
char *cpio_grow(void **cpio_buffer, size_t old_size, size_t new_size) {
    void *grown = xmalloc(new_size);
    memcpy(grown, *cpio_buffer, old_size);
    free_pool(*cpio_buffer);
    *cpio_buffer = grown;
    return static_cast<char *>(grown) + old_size;
}

char *write_cpio_header(char *p, uint32_t inode, uint32_t mode, uint32_t file_size, uint32_t name_size) {
    memcpy(p, "070701", 6);
    p += 6;
    p = write_cpio_word(p, inode);
    p = write_cpio_word(p, mode);
    p = write_cpio_word(p, 0); // c_uid
    p = write_cpio_word(p, 0); // c_gid
    p = write_cpio_word(p, 1); // c_nlink
    p = write_cpio_word(p, 0); // c_mtime
    p = write_cpio_word(p, file_size);
    p = write_cpio_word(p, 0); // c_devmajor
    p = write_cpio_word(p, 0); // c_devminor
    p = write_cpio_word(p, 0); // c_rdevmajor
    p = write_cpio_word(p, 0); // c_rdevminor
    p = write_cpio_word(p, name_size);
    return write_cpio_word(p, 0); // c_check
}

char *mangle_filename(char *p, const char16_t *fname) {
    for (; *fname != 0; fname++) {
        ASSERT(*fname <= 0x7f);
        *p++ = static_cast<char>(*fname);
    }
    return p;
}

// A directory named by the first `path_len` bytes of `path`.
EFI_STATUS cpio_dir(const char *path, size_t path_len, uint32_t dir_mode, uint32_t *inode_counter, void **cpio_buffer,
                    size_t *cpio_buffer_size) {
    assert_archive(cpio_buffer, cpio_buffer_size);
    if (*inode_counter == CPIO_INODE_EXHAUSTED)
        return EFI_OUT_OF_RESOURCES;

    size_t name_size = path_len, new_size = 0;
    if (!INC_SAFE(&name_size, size_t{1}) || !cpio_size_after(*cpio_buffer_size, name_size, 0, &new_size))
        return EFI_OUT_OF_RESOURCES;

    char *start = cpio_grow(cpio_buffer, *cpio_buffer_size, new_size);
    char *p =
        write_cpio_header(start, *inode_counter, dir_mode | CPIO_MODE_DIRECTORY, 0, static_cast<uint32_t>(name_size));
    memcpy(p, path, path_len);
    p += path_len;
    *p++ = 0;
    p = pad4(p, static_cast<const char *>(*cpio_buffer));
    ASSERT(p == static_cast<char *>(*cpio_buffer) + new_size);

    *cpio_buffer_size = new_size;
    (*inode_counter)++;
    return EFI_SUCCESS;
}

// Owns an archive under construction until it is handed over.
struct CpioArchive {
    void *buffer = nullptr;
    size_t size = 0;

    CpioArchive() = default;
    CpioArchive(const CpioArchive &) = delete;
    CpioArchive &operator=(const CpioArchive &) = delete;
    ~CpioArchive() { free_pool(buffer); }

    iovec release() {
        iovec v = {buffer, size};
        buffer = nullptr;
        size = 0;
        return v;
    }
};

} // namespace

char *write_cpio_word(char *p, uint32_t value) {
    static const char digits[] = "0123456789abcdef";
    for (int shift = 28; shift >= 0; shift -= 4)
        *p++ = digits[(value >> shift) & 0xf];
    return p;
}

char *pad4(char *p, const char *start) {
    while ((p - start) % 4 != 0)
        *p++ = 0;
    return p;
}

EFI_STATUS pack_cpio_one(const char16_t *fname, const void *contents, size_t contents_size,
                         const char *target_dir_prefix, uint32_t access_mode, uint32_t *inode_counter,
                         void **cpio_buffer, size_t *cpio_buffer_size) {
    ASSERT(fname);
    ASSERT(contents || contents_size == 0);
    ASSERT(target_dir_prefix);
    assert_archive(cpio_buffer, cpio_buffer_size);

    if (contents_size > UINT32_MAX)
        return EFI_LOAD_ERROR;
    if (*inode_counter == CPIO_INODE_EXHAUSTED)
        return EFI_OUT_OF_RESOURCES;

    size_t prefix_len = str8_len(target_dir_prefix), fname_len = str16_len(fname);
    size_t name_size = prefix_len, new_size = 0;
    if (!INC_SAFE(&name_size, fname_len) || !INC_SAFE(&name_size, size_t{2}) ||
        !cpio_size_after(*cpio_buffer_size, name_size, contents_size, &new_size))
        return EFI_OUT_OF_RESOURCES;

    char *start = cpio_grow(cpio_buffer, *cpio_buffer_size, new_size);
    const char *archive = static_cast<const char *>(*cpio_buffer);
    char *p = write_cpio_header(start, *inode_counter, access_mode | CPIO_MODE_REGULAR,
                                static_cast<uint32_t>(contents_size), static_cast<uint32_t>(name_size));
    memcpy(p, target_dir_prefix, prefix_len);
    p += prefix_len;
    *p++ = '/';
    p = mangle_filename(p, fname);
    *p++ = 0;
    p = pad4(p, archive);
    if (contents && contents_size > 0) {
        memcpy(p, contents, contents_size);
        p += contents_size;
    }
    p = pad4(p, archive);
    ASSERT(p == archive + new_size);

    *cpio_buffer_size = new_size;
    (*inode_counter)++;
    return EFI_SUCCESS;
}

EFI_STATUS pack_cpio_dir(const char *path, uint32_t dir_mode, uint32_t *inode_counter, void **cpio_buffer,
                         size_t *cpio_buffer_size) {
    ASSERT(path);
    return cpio_dir(path, str8_len(path), dir_mode, inode_counter, cpio_buffer, cpio_buffer_size);
}

EFI_STATUS pack_cpio_leading_dirs(const char *path, uint32_t dir_mode, uint32_t *inode_counter, void **cpio_buffer,
                                  size_t *cpio_buffer_size) {
    ASSERT(path);
    // Empty components (a leading "/", or "//") name no directory of their own.
    size_t component = 0;
    for (size_t i = 0; path[i] != 0; i++) {
        if (path[i] != '/')
            continue;
        if (i > component &&
            cpio_dir(path, i, CPIO_LEADING_DIR_MODE, inode_counter, cpio_buffer, cpio_buffer_size) != EFI_SUCCESS)
            return EFI_OUT_OF_RESOURCES;
        component = i + 1;
    }
    return pack_cpio_dir(path, dir_mode, inode_counter, cpio_buffer, cpio_buffer_size);
}

void append_cpio_trailer(void **cpio_buffer, size_t *cpio_buffer_size) {
    assert_archive(cpio_buffer, cpio_buffer_size);
    size_t new_size = *cpio_buffer_size;
    ASSERT(INC_SAFE(&new_size, sizeof(CPIO_TRAILER)));
    memcpy(cpio_grow(cpio_buffer, *cpio_buffer_size, new_size), CPIO_TRAILER, sizeof(CPIO_TRAILER));
    *cpio_buffer_size = new_size;
}

EFI_STATUS pack_cpio_literal(const void *data, size_t data_size, const char *target_dir_prefix,
                             const char16_t *target_filename, uint32_t dir_mode, uint32_t access_mode,
                             iovec *ret_buffer) {
    ASSERT(data || data_size == 0);
    ASSERT(target_filename);
    ASSERT(ret_buffer);

    CpioArchive archive;
    uint32_t inode_counter = 1;
    if (pack_cpio_leading_dirs(target_dir_prefix, dir_mode, &inode_counter, &archive.buffer, &archive.size) !=
        EFI_SUCCESS)
        return log_error(EFI_OUT_OF_RESOURCES, "Failed to pack cpio prefix: %m");

    EFI_STATUS err = pack_cpio_one(target_filename, data, data_size, target_dir_prefix, access_mode, &inode_counter,
                                   &archive.buffer, &archive.size);
    if (err != EFI_SUCCESS)
        return log_error(err, "Failed to pack cpio file %ls: %m", target_filename);

    append_cpio_trailer(&archive.buffer, &archive.size);
    *ret_buffer = archive.release();
    return EFI_SUCCESS;
}

namespace {

EFI_STATUS open_sidecar_directory(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, EFI_FILE_PROTOCOL *root,
                                  const char16_t *dir_path, FileHandle *ret) {
    PoolPtr<char16_t> derived;
    if (!dir_path) {
        derived.reset(image_extra_dir(loaded_image->FilePath));
        if (!derived)
            return EFI_NOT_FOUND;
        dir_path = derived.get();
    }
    EFI_STATUS err = open_directory(root, dir_path, ret->out());
    if (err != EFI_SUCCESS && err != EFI_NOT_FOUND)
        return log_error(err, "Failed to open extra directory of loaded image: %m");
    return err;
}

EFI_STATUS pack_named_files(EFI_FILE_PROTOCOL *dir, const NameList &names, const CpioPackRequest &request,
                            CpioArchive *archive) {
    uint32_t inode_counter = 1;
    if (pack_cpio_leading_dirs(request.prefix, request.directory_mode, &inode_counter, &archive->buffer,
                               &archive->size) != EFI_SUCCESS)
        return log_error(EFI_OUT_OF_RESOURCES, "Failed to pack cpio prefix: %m");

    for (size_t i = 0; i < names.size(); i++) {
        PoolPtr<char> contents;
        size_t size = 0;
        EFI_STATUS err = file_read(dir, names[i], contents.out(), &size);
        if (err != EFI_SUCCESS) {
            log_error(err, "Failed to read %ls, ignoring: %m", names[i]);
            continue;
        }
        err = pack_cpio_one(names[i], contents.get(), size, request.prefix, request.file_mode, &inode_counter,
                            &archive->buffer, &archive->size);
        if (err != EFI_SUCCESS)
            return log_error(err, "Failed to pack cpio file %ls: %m", names[i]);
    }
    append_cpio_trailer(&archive->buffer, &archive->size);
    return EFI_SUCCESS;
}

} // namespace

EFI_STATUS pack_cpio(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const CpioPackRequest &request,
                     iovec *archive_out, bool *measured_out) {
    ASSERT(loaded_image);
    auto nothing = [&] {
        *archive_out = {};
        *measured_out = false;
        return EFI_SUCCESS;
    };
    if (!loaded_image->DeviceHandle)
        return nothing();

    FileHandle root;
    EFI_STATUS err = open_volume_root(loaded_image->DeviceHandle, root.out());
    if (err == EFI_UNSUPPORTED)
        return nothing();
    if (err != EFI_SUCCESS)
        return log_error(err, "Unable to open root directory: %m");

    FileHandle dir;
    err = open_sidecar_directory(loaded_image, root.get(), request.dir_path, &dir);
    if (err == EFI_NOT_FOUND)
        return nothing();
    if (err != EFI_SUCCESS)
        return err;

    NameList names;
    err = list_directory_names(dir.get(), request.suffix, request.skip_suffix, "extra", &names);
    if (err != EFI_SUCCESS)
        return err;
    if (names.size() == 0)
        return nothing();

    CpioArchive archive;
    err = pack_named_files(dir.get(), names, request, &archive);
    if (err != EFI_SUCCESS)
        return err;

    bool measured = false;
    err = tpm_log_ipl_event(request.pcr, reinterpret_cast<uintptr_t>(archive.buffer), archive.size,
                            request.event_description, &measured);
    if (err != EFI_SUCCESS)
        return log_error(err, "Unable to add cpio TPM measurement for PCR %u (%ls), ignoring: %m", request.pcr,
                         request.event_description);
    *archive_out = archive.release();
    *measured_out = measured;
    return EFI_SUCCESS;
}

} // namespace korvane
