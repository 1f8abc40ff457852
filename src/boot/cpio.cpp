#include "cpio.h"

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

// The bytes of the name "<prefix>/<fname>" and its NUL; false when that does not fit.
[[nodiscard]] bool file_name_size(const char *prefix, const char16_t *fname, size_t *ret) {
    size_t name_size = str8_len(prefix);
    if (!INC_SAFE(&name_size, str16_len(fname)) || !INC_SAFE(&name_size, size_t{2}))
        return false;
    *ret = name_size;
    return true;
}

// Writes the header and the padded name of a regular file at `p`, `archive` being the start
// the padding counts from; returns where its contents go.
char *write_file_head(char *p, const char *archive, uint32_t inode, uint32_t mode, uint32_t contents_size,
                      size_t name_size, const char *prefix, const char16_t *fname) {
    p = write_cpio_header(p, inode, mode | CPIO_MODE_REGULAR, contents_size, static_cast<uint32_t>(name_size));
    size_t prefix_len = str8_len(prefix);
    memcpy(p, prefix, prefix_len);
    p += prefix_len;
    *p++ = '/';
    p = mangle_filename(p, fname);
    *p++ = 0;
    return pad4(p, archive);
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

// Owns an archive under construction until it is handed over. The public appends keep the
// buffer in pool at exactly `size`; a directory pass reserves room ahead, in `pages` or in the
// caller's `place`, and writes into it from `buffer`, their start.
struct CpioArchive {
    void *buffer = nullptr;
    size_t size = 0, capacity = 0;
    PageAllocation pages = {};
    // Memory of the caller's, planned for the whole archive, that a directory pass packs into
    // instead of pages of its own.
    void *place = nullptr;
    size_t place_size = 0;

    CpioArchive() = default;
    CpioArchive(const CpioArchive &) = delete;
    CpioArchive &operator=(const CpioArchive &) = delete;
    ~CpioArchive() { free_buffer(); }

    void free_buffer() {
        if (pages.n_pages != 0)
            free_pages(&pages);
        else if (buffer != place)
            free_pool(buffer);
    }
    iovec release() {
        iovec v = {buffer, size};
        buffer = nullptr;
        size = capacity = 0;
        return v;
    }
    void release_pages(CpioPages *out) {
        out->pages = Pages(pages);
        out->size = size;
        pages = {};
        buffer = nullptr;
        size = capacity = 0;
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

    size_t name_size = 0, new_size = 0;
    if (!file_name_size(target_dir_prefix, fname, &name_size) ||
        !cpio_size_after(*cpio_buffer_size, name_size, contents_size, &new_size))
        return EFI_OUT_OF_RESOURCES;

    char *start = cpio_grow(cpio_buffer, *cpio_buffer_size, new_size);
    const char *archive = static_cast<const char *>(*cpio_buffer);
    char *p = write_file_head(start, archive, *inode_counter, access_mode, static_cast<uint32_t>(contents_size),
                              name_size, target_dir_prefix, fname);
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

// Room for `needed` bytes in all, in pages. The first choice is `planned`, what the whole
// archive will take if every remaining file is as large as its directory entry says, so that a
// pass normally allocates once; when that much is not there, twice the room, then just
// `needed`. The bytes written so far move to the new pages. False when not even `needed` can
// be had.
bool cpio_reserve(CpioArchive *archive, size_t needed, size_t planned) {
    if (needed <= archive->capacity)
        return true;
    // The caller's place was planned for the whole archive: it is taken once, never grown.
    if (archive->place) {
        ASSERT(needed <= archive->place_size);
        memcpy(archive->place, archive->buffer, archive->size);
        archive->free_buffer();
        archive->buffer = archive->place;
        archive->capacity = archive->place_size;
        return true;
    }
    size_t doubled = archive->capacity;
    if (!MUL_ASSIGN_SAFE(&doubled, size_t{2}) || doubled > planned)
        doubled = planned;
    const size_t choices[] = {planned, doubled < needed ? needed : doubled, needed};
    for (size_t i = 0; i < 3; i++) {
        if (choices[i] < needed || (i > 0 && choices[i] == choices[i - 1]))
            continue;
        PageAllocation grown = try_malloc_pages(AllocateAnyPages, EfiLoaderData, efi_size_to_pages(choices[i]), 0);
        if (grown.n_pages == 0)
            continue;
        void *buffer = reinterpret_cast<void *>(static_cast<uintptr_t>(grown.addr));
        memcpy(buffer, archive->buffer, archive->size);
        archive->free_buffer();
        archive->pages = grown;
        archive->buffer = buffer;
        archive->capacity = grown.n_pages * EFI_PAGE_SIZE;
        return true;
    }
    return false;
}

// The bytes a member of `contents_size` bytes adds to the archive; false when that does not fit.
[[nodiscard]] bool file_member_size(const char *prefix, const char16_t *fname, uint64_t contents_size, size_t *ret) {
    size_t name_size = 0;
    return contents_size <= UINT32_MAX && file_name_size(prefix, fname, &name_size) &&
           cpio_size_after(0, name_size, contents_size, ret);
}

// Appends the file `name` of `dir`, read straight into its place in the archive, for which
// room has been reserved: at most `size` bytes, fewer when the file ends first.
EFI_STATUS cpio_read_member(EFI_FILE_PROTOCOL *dir, const char16_t *name, size_t size, const CpioPackRequest &request,
                            uint32_t *inode_counter, CpioArchive *archive) {
    size_t name_size = 0, head_size = 0;
    ASSERT(file_name_size(request.prefix, name, &name_size));
    ASSERT(cpio_size_after(0, name_size, 0, &head_size));
    char *archive_start = static_cast<char *>(archive->buffer);
    char *start = archive_start + archive->size;
    size_t n = 0;
    EFI_STATUS err = file_read_into(dir, name, start + head_size, size, &n);
    if (err != EFI_SUCCESS)
        return err;
    // The size in the header is what arrived; the firmware never delivers more than asked.
    char *p = write_file_head(start, archive_start, *inode_counter, request.file_mode, static_cast<uint32_t>(n),
                              name_size, request.prefix, name);
    ASSERT(p == start + head_size);
    p = pad4(p + n, archive_start);
    archive->size = static_cast<size_t>(p - archive_start);
    (*inode_counter)++;
    return EFI_SUCCESS;
}

size_t add_saturated(size_t a, size_t b) { return INC_SAFE(&a, b) ? a : SIZE_MAX; }

// The bytes pack_cpio_leading_dirs appends for `path`; false when that does not fit.
[[nodiscard]] bool leading_dirs_size(const char *path, size_t *ret) {
    size_t size = 0, component = 0, i = 0;
    for (; path[i] != 0; i++) {
        if (path[i] != '/')
            continue;
        if (i > component && !cpio_size_after(size, i + 1, 0, &size))
            return false;
        component = i + 1;
    }
    return cpio_size_after(size, i + 1, 0, ret);
}

// What the trailer and the members of the named files add to an archive, if each file is as
// large as its directory entry says; SIZE_MAX when that does not fit.
size_t planned_members(const NameList &names, const char *prefix) {
    size_t rest = sizeof(CPIO_TRAILER);
    for (size_t i = 0; i < names.size(); i++) {
        size_t member = 0;
        if (file_member_size(prefix, names[i], names.file_size(i), &member))
            rest = add_saturated(rest, member);
    }
    return rest;
}

// The archive of the named files: the directories of the prefix, each file read once straight
// into the archive, the trailer. The room is planned from the sizes in the directory entries.
// A file too large for a member, or for the memory there is, is left out with its message.
EFI_STATUS pack_named_files(EFI_FILE_PROTOCOL *dir, const NameList &names, const CpioPackRequest &request,
                            CpioArchive *archive) {
    uint32_t inode_counter = 1;
    if (pack_cpio_leading_dirs(request.prefix, request.directory_mode, &inode_counter, &archive->buffer,
                               &archive->size) != EFI_SUCCESS)
        return log_error(EFI_OUT_OF_RESOURCES, "Failed to pack cpio prefix: %m");
    archive->capacity = archive->size;

    // What the trailer and the members still to come will add.
    size_t rest = planned_members(names, request.prefix);
    // The trailer's room is bounded and always kept, so that it can be appended at the end.
    ASSERT(cpio_reserve(archive, archive->size + sizeof(CPIO_TRAILER), add_saturated(archive->size, rest)));

    for (size_t i = 0; i < names.size(); i++) {
        uint64_t size = names.file_size(i);
        if (size > FILE_READ_MAX) {
            log_error(EFI_BAD_BUFFER_SIZE, "Failed to read %ls, ignoring: %m", names[i]);
            continue;
        }
        size_t member = 0;
        if (!file_member_size(request.prefix, names[i], size, &member)) {
            log_error(EFI_LOAD_ERROR, "Failed to pack cpio file %ls: %m", names[i]);
            continue;
        }
        size_t needed = add_saturated(add_saturated(archive->size, member), sizeof(CPIO_TRAILER));
        bool reserved = inode_counter != CPIO_INODE_EXHAUSTED &&
                        cpio_reserve(archive, needed, add_saturated(archive->size, rest));
        if (rest != SIZE_MAX)
            rest -= member;
        if (!reserved) {
            log_error(EFI_OUT_OF_RESOURCES, "Failed to pack cpio file %ls: %m", names[i]);
            continue;
        }
        EFI_STATUS err = cpio_read_member(dir, names[i], size, request, &inode_counter, archive);
        if (err != EFI_SUCCESS)
            log_error(err, "Failed to read %ls, ignoring: %m", names[i]);
    }

    ASSERT(archive->capacity - archive->size >= sizeof(CPIO_TRAILER));
    memcpy(static_cast<char *>(archive->buffer) + archive->size, CPIO_TRAILER, sizeof(CPIO_TRAILER));
    archive->size += sizeof(CPIO_TRAILER);
    return EFI_SUCCESS;
}

} // namespace

EFI_STATUS plan_cpio(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const CpioPackRequest &request,
                     CpioPlan *plan_out) {
    ASSERT(loaded_image);
    if (!loaded_image->DeviceHandle)
        return EFI_SUCCESS;

    FileHandle root;
    EFI_STATUS err = open_volume_root(loaded_image->DeviceHandle, root.out());
    if (err == EFI_UNSUPPORTED)
        return EFI_SUCCESS;
    if (err != EFI_SUCCESS)
        return log_error(err, "Unable to open root directory: %m");

    FileHandle dir;
    err = open_sidecar_directory(loaded_image, root.get(), request.dir_path, &dir);
    if (err == EFI_NOT_FOUND)
        return EFI_SUCCESS;
    if (err != EFI_SUCCESS)
        return err;

    err = list_directory_names(dir.get(), request.suffix, request.skip_suffix, "extra", &plan_out->names);
    if (err != EFI_SUCCESS || plan_out->names.size() == 0)
        return err;

    size_t leading = SIZE_MAX;
    (void)leading_dirs_size(request.prefix, &leading);
    plan_out->room = add_saturated(leading, planned_members(plan_out->names, request.prefix));
    plan_out->dir = move(dir);
    return EFI_SUCCESS;
}

EFI_STATUS pack_cpio_planned(CpioPlan &plan, const CpioPackRequest &request, void *place, CpioPages *archive_out,
                             size_t *size_out, bool *measured_out) {
    CpioArchive archive;
    archive.place = place;
    archive.place_size = plan.room;
    EFI_STATUS err = pack_named_files(plan.dir.get(), plan.names, request, &archive);
    if (err != EFI_SUCCESS)
        return err;

    bool measured = false;
    err = tpm_log_ipl_event(request.pcr, reinterpret_cast<uintptr_t>(archive.buffer), archive.size,
                            request.event_description, &measured);
    if (err != EFI_SUCCESS)
        return log_error(err, "Unable to add cpio TPM measurement for PCR %u (%ls), ignoring: %m", request.pcr,
                         request.event_description);
    *size_out = archive.size;
    *measured_out = measured;
    if (!place)
        archive.release_pages(archive_out);
    return EFI_SUCCESS;
}

EFI_STATUS pack_cpio(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const CpioPackRequest &request,
                     CpioPages *archive_out, bool *measured_out) {
    CpioPlan plan;
    EFI_STATUS err = plan_cpio(loaded_image, request, &plan);
    if (err != EFI_SUCCESS)
        return err;
    if (plan.room == 0) {
        *archive_out = {};
        *measured_out = false;
        return EFI_SUCCESS;
    }
    size_t size = 0;
    return pack_cpio_planned(plan, request, nullptr, archive_out, &size, measured_out);
}

} // namespace korvane
