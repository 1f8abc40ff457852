#include "file-util.h"

#include "device-path-util.h"
#include "efi-string.h"
#include "firmware.h"
#include "util.h"

namespace korvane {

namespace {

// Opens `name` below `dir` for reading. The handle is taken only on success: what the
// firmware leaves in its out-parameter after a failure is not a handle.
EFI_STATUS open_for_reading(EFI_FILE_PROTOCOL *dir, const char16_t *name, FileHandle *ret) {
    EFI_FILE_PROTOCOL *h = nullptr;
    EFI_STATUS err = dir->Open(dir, &h, name, EFI_FILE_MODE_READ, 0);
    if (err != EFI_SUCCESS)
        return err;
    *ret = FileHandle(h);
    return EFI_SUCCESS;
}

// Reads up to `size` bytes into `buf` in chunks; a read of 0 bytes ends early (the file was
// shorter than its information said). *ret_read is what arrived.
EFI_STATUS chunked_read(EFI_FILE_PROTOCOL *file, size_t size, char *buf, size_t *ret_read) {
    size_t total = 0;
    while (total < size) {
        size_t remaining = size - total;
        UINTN chunk = remaining < FILE_READ_CHUNK ? remaining : FILE_READ_CHUNK;
        EFI_STATUS err = file->Read(file, &chunk, buf + total);
        if (err != EFI_SUCCESS)
            return err;
        if (chunk == 0)
            break;
        ASSERT(chunk <= remaining);
        total += chunk;
    }
    *ret_read = total;
    return EFI_SUCCESS;
}

// The whole of the freshly opened `file`, with room for the terminating zero bytes.
EFI_STATUS file_handle_read(EFI_FILE_PROTOCOL *file, uint64_t size, char **ret, size_t *ret_size) {
    if (size > FILE_READ_MAX)
        return EFI_BAD_BUFFER_SIZE;
    // Whoever wrote the file chose its size: more than the firmware can give is a file we
    // cannot read, not a reason to halt.
    PoolPtr<char> buf(static_cast<char *>(try_malloc(size + 2 + size % 2)));
    if (!buf)
        return EFI_OUT_OF_RESOURCES;
    size_t n = 0;
    EFI_STATUS err = chunked_read(file, size, buf.get(), &n);
    if (err != EFI_SUCCESS)
        return err;
    // Counted on what arrived, so that a short odd read still ends in a UTF-16 zero at an even
    // offset; the allocation leaves room for that in every case.
    memset(buf.get() + n, 0, 2 + n % 2);
    *ret = buf.release();
    *ret_size = n;
    return EFI_SUCCESS;
}

bool is_file_path_node(const EFI_DEVICE_PATH_PROTOCOL *node) {
    return node->Type == MEDIA_DEVICE_PATH && node->SubType == MEDIA_FILEPATH_DP;
}

bool file_path_nodes_only(const EFI_DEVICE_PATH_PROTOCOL *path) {
    for (const EFI_DEVICE_PATH_PROTOCOL *node = path; !device_path_is_end(node); node = device_path_next_node(node))
        if (device_path_node_is_short(node) || !is_file_path_node(node))
            return false;
    return true;
}

// One or more decimal digits whose value fits in 64 bits: the unit after them, or null.
const char16_t *skip_number(const char16_t *p) {
    const char16_t *start = p;
    uint64_t value = 0;
    for (; *p >= u'0' && *p <= u'9'; p++)
        if (!MUL_ASSIGN_SAFE(&value, uint64_t(10)) || !INC_SAFE(&value, uint64_t(*p - u'0')))
            return nullptr;
    return p == start ? nullptr : p;
}

// The end of a boot counter whose '+' is at `plus`, when it ends the text or precedes a '.'.
const char16_t *boot_counter_end(const char16_t *plus) {
    const char16_t *p = skip_number(plus + 1);
    if (p && *p == u'-')
        p = skip_number(p + 1);
    if (!p || (*p != 0 && *p != u'.'))
        return nullptr;
    return p;
}

} // namespace

EFI_STATUS open_volume_root(EFI_HANDLE device, EFI_FILE_PROTOCOL **ret) {
    ASSERT(ret);
    EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *volume = nullptr;
    EFI_STATUS err =
        BS->HandleProtocol(device, &EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID, reinterpret_cast<void **>(&volume));
    if (err != EFI_SUCCESS)
        return err;
    EFI_FILE_PROTOCOL *root = nullptr;
    err = volume->OpenVolume(volume, &root);
    if (err != EFI_SUCCESS)
        return err;
    *ret = root;
    return EFI_SUCCESS;
}

EFI_STATUS open_directory(EFI_FILE_PROTOCOL *root, const char16_t *path, EFI_FILE_PROTOCOL **ret) {
    ASSERT(root);
    ASSERT(path);
    ASSERT(ret);
    FileHandle dir;
    EFI_STATUS err = open_for_reading(root, path, &dir);
    if (err != EFI_SUCCESS)
        return err;
    PoolPtr<EFI_FILE_INFO> info;
    err = get_file_info(dir.get(), info.out());
    if (err != EFI_SUCCESS)
        return err;
    if (!(info->Attribute & EFI_FILE_DIRECTORY))
        return EFI_LOAD_ERROR;
    *ret = dir.release();
    return EFI_SUCCESS;
}

EFI_STATUS readdir(EFI_FILE_PROTOCOL *handle, EFI_FILE_INFO **buffer, size_t *buffer_size) {
    ASSERT(handle);
    ASSERT(buffer);
    ASSERT(buffer_size);
    if (!*buffer) {
        *buffer = static_cast<EFI_FILE_INFO *>(xmalloc(FILE_INFO_SIZE));
        *buffer_size = FILE_INFO_SIZE;
    }
    UINTN size = *buffer_size;
    EFI_STATUS err = handle->Read(handle, &size, *buffer);
    if (err == EFI_BUFFER_TOO_SMALL) {
        free_pool(*buffer);
        *buffer = static_cast<EFI_FILE_INFO *>(xmalloc(size));
        *buffer_size = size;
        err = handle->Read(handle, &size, *buffer);
    }
    if (err == EFI_SUCCESS && size == 0) {
        free_pool(*buffer);
        *buffer = nullptr;
        *buffer_size = 0;
    }
    return err;
}

EFI_STATUS get_file_info(EFI_FILE_PROTOCOL *handle, EFI_FILE_INFO **ret) {
    ASSERT(handle);
    ASSERT(ret);
    UINTN size = FILE_INFO_SIZE;
    PoolPtr<EFI_FILE_INFO> info(static_cast<EFI_FILE_INFO *>(xmalloc(size)));
    EFI_STATUS err = handle->GetInfo(handle, &EFI_FILE_INFO_ID, &size, info.get());
    if (err == EFI_BUFFER_TOO_SMALL) {
        info.reset();
        info.reset(static_cast<EFI_FILE_INFO *>(xmalloc(size)));
        err = handle->GetInfo(handle, &EFI_FILE_INFO_ID, &size, info.get());
    }
    if (err != EFI_SUCCESS)
        return err;
    *ret = info.release();
    return EFI_SUCCESS;
}

EFI_STATUS file_read(EFI_FILE_PROTOCOL *dir, const char16_t *name, char **ret, size_t *ret_size) {
    ASSERT(dir);
    ASSERT(name);
    ASSERT(ret);
    ASSERT(ret_size);
    FileHandle file;
    EFI_STATUS err = open_for_reading(dir, name, &file);
    if (err != EFI_SUCCESS)
        return err;
    uint64_t size = 0;
    {
        PoolPtr<EFI_FILE_INFO> info;
        err = get_file_info(file.get(), info.out());
        if (err != EFI_SUCCESS)
            return err;
        size = info->FileSize;
    }
    return file_handle_read(file.get(), size, ret, ret_size);
}

EFI_STATUS file_read_into(EFI_FILE_PROTOCOL *dir, const char16_t *name, void *buf, size_t size, size_t *ret_read) {
    ASSERT(dir);
    ASSERT(name);
    ASSERT(buf || size == 0);
    ASSERT(ret_read);
    FileHandle file;
    EFI_STATUS err = open_for_reading(dir, name, &file);
    if (err != EFI_SUCCESS)
        return err;
    return chunked_read(file.get(), size, static_cast<char *>(buf), ret_read);
}

char16_t *image_extra_dir(const EFI_DEVICE_PATH_PROTOCOL *file_path) {
    if (!file_path || !file_path_nodes_only(file_path))
        return nullptr;
    PoolPtr<char16_t> text;
    // A path of the end node alone has no text, or an empty one from the firmware's protocol.
    if (device_path_to_str(file_path, text.out()) != EFI_SUCCESS || !text || text[0] == 0)
        return nullptr;
    convert_efi_path(text.get());
    strip_boot_counter(text.get());
    return xformat("%ls.extra.d", text.get());
}

void convert_efi_path(char16_t *path) {
    ASSERT(path);
    size_t out = 0;
    for (size_t i = 0; path[i] != 0; i++) {
        char16_t c = path[i] == u'/' ? u'\\' : path[i];
        if (c == u'\\' && out > 0 && path[out - 1] == u'\\')
            continue;
        path[out++] = c;
    }
    path[out] = 0;
}

void strip_boot_counter(char16_t *path) {
    ASSERT(path);
    // The counter belongs to the file name: a '+' in a directory name is no counter.
    char16_t *plus = path;
    for (char16_t *p = path; *p != 0; p++)
        if (*p == u'\\')
            plus = p + 1;
    while (*plus != 0 && *plus != u'+')
        plus++;
    if (*plus == 0)
        return;
    const char16_t *end = boot_counter_end(plus);
    if (!end)
        return;
    // Moves the rest, terminator included, over the counter.
    do
        *plus++ = *end;
    while (*end++ != 0);
}

void sort_pointer_array(void **array, size_t n_members, compare_pointer_func_t compare) {
    ASSERT(array || n_members == 0);
    if (n_members <= 1)
        return;
    ASSERT(compare);
    for (size_t i = 1; i < n_members; i++) {
        void *entry = array[i];
        size_t k = i;
        for (; k > 0 && compare(array[k - 1], entry) > 0; k--)
            array[k] = array[k - 1];
        array[k] = entry;
    }
}

} // namespace korvane
