// In-memory cpio archives in the newc format (magic "070701", no checksum), the format the
// kernel unpacks from initrds. An archive under construction is a pool buffer and its size,
// both owned by the caller; an empty archive is (null, 0). Every append below reallocates the
// buffer to exactly its new size, which suits the small archives built from sections.
// pack_cpio instead plans its archive from the directory's entries and reads each file
// straight into it. Archive sizes stay multiples of 4, so finished archives can be
// concatenated into one initrd.
//
// Inode numbers come from a counter the caller sets to 1 for each new archive; every member
// takes the counter's value and increments it. 0xFFFFFFFF is never handed out.
//
// A failing pack_cpio_one or pack_cpio_dir leaves the archive and the counter as they were.
#pragma once

#include "dir-names.h"
#include "efi/efi.h"
#include "efi/loaded-image.h"
#include "file-util.h"
#include "util.h"

namespace korvane {

// Writes `value` as 8 lowercase hexadecimal digits; returns the position after them.
char *write_cpio_word(char *p, uint32_t value);
// Writes zero bytes until (p - start) is a multiple of 4; returns the position after them.
char *pad4(char *p, const char *start);

// Appends the regular file "<prefix>/<fname>" with mode `access_mode | 0100000`. `fname`
// must be 7-bit. EFI_LOAD_ERROR when the contents exceed 0xFFFFFFFF bytes;
// EFI_OUT_OF_RESOURCES when the counter is exhausted or a size does not fit.
EFI_STATUS pack_cpio_one(const char16_t *fname, const void *contents, size_t contents_size,
                         const char *target_dir_prefix, uint32_t access_mode, uint32_t *inode_counter,
                         void **cpio_buffer, size_t *cpio_buffer_size);

// Appends the directory `path` with mode `dir_mode | 040000`.
EFI_STATUS pack_cpio_dir(const char *path, uint32_t dir_mode, uint32_t *inode_counter, void **cpio_buffer,
                         size_t *cpio_buffer_size);

// Appends every directory leading to `path` (mode 0555), then `path` itself with `dir_mode`.
// EFI_OUT_OF_RESOURCES when a leading directory cannot be appended; the ones appended
// before stay in the archive, which the caller then discards.
EFI_STATUS pack_cpio_leading_dirs(const char *path, uint32_t dir_mode, uint32_t *inode_counter, void **cpio_buffer,
                                  size_t *cpio_buffer_size);

// Completes the archive with the "TRAILER!!!" record.
void append_cpio_trailer(void **cpio_buffer, size_t *cpio_buffer_size);

// A complete archive of the directories leading to `target_dir_prefix` and one file in it.
// On success the caller owns ret_buffer->iov_base; on failure nothing is left behind and
// ret_buffer is not written.
EFI_STATUS pack_cpio_literal(const void *data, size_t data_size, const char *target_dir_prefix,
                             const char16_t *target_filename, uint32_t dir_mode, uint32_t access_mode,
                             iovec *ret_buffer);

// The arguments of one sidecar pass: which files of which directory go where in the archive,
// and how the archive is measured. A null dir_path is the image's own ".extra.d".
struct CpioPackRequest {
    const char16_t *dir_path;
    const char16_t *suffix;
    const char16_t *skip_suffix;
    const char *prefix;
    uint32_t directory_mode;
    uint32_t file_mode;
    uint32_t pcr;
    const char16_t *event_description;
};

// An archive of files beside the image: its first `size` bytes. It lives in pages, not pool,
// because firmware pools pass over a large block's bytes when they give and take it back, and
// these archives are as large as the extension images in them.
struct CpioPages {
    Pages pages;
    size_t size = 0;

    iovec bytes() const { return {pages.ptr(), size}; }
};

// One measured archive of the matching files beside the image, in name order. Nothing to pack
// gives EFI_SUCCESS, no pages and not measured. On failure the outputs are not written.
// A file that cannot be read, or that is too large for a member (EFI_LOAD_ERROR) or for the
// memory there is (EFI_OUT_OF_RESOURCES), is logged and left out; the others are packed.
EFI_STATUS pack_cpio(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const CpioPackRequest &request,
                     CpioPages *archive_out, bool *measured_out);

// pack_cpio in two steps, so that the caller can give the archive its place: the directory
// opened and listed, and the room the archive takes if every file is as large as its entry
// says (SIZE_MAX when that does not fit). Room 0: nothing to pack.
struct CpioPlan {
    FileHandle dir;
    NameList names;
    size_t room = 0;
};
// Fails, logged, when the directory cannot be opened or listed; a missing one plans nothing.
EFI_STATUS plan_cpio(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const CpioPackRequest &request,
                     CpioPlan *plan_out);
// Packs and measures a plan with room: into `place` (plan.room bytes of the caller's) when it is
// not null, else into pages returned in archive_out. The archive's size, at most the room, goes
// to size_out. On failure the outputs are not written.
EFI_STATUS pack_cpio_planned(CpioPlan &plan, const CpioPackRequest &request, void *place, CpioPages *archive_out,
                             size_t *size_out, bool *measured_out);

} // namespace korvane
