// The sorted names of the files in a sidecar or add-on directory that a pass takes up.
#pragma once

#include "efi/simple-file-system.h"
#include "util.h"

namespace korvane {

// Owned names, each with the file size its directory entry reports, so that a caller can
// plan its memory before it opens a file.
class NameList {
public:
    NameList() = default;
    NameList(const NameList &) = delete;
    NameList &operator=(const NameList &) = delete;
    ~NameList();

    // EFI_OUT_OF_RESOURCES, logged, when the list cannot grow.
    EFI_STATUS append(const char16_t *name, uint64_t file_size);
    void sort();
    size_t size() const { return n_; }
    const char16_t *operator[](size_t i) const;
    uint64_t file_size(size_t i) const;

private:
    struct Entry;
    static int compare(const void *a, const void *b);
    Entry **items_ = nullptr;
    size_t n_ = 0, allocated_ = 0;
};

// The regular files of `dir` whose 7-bit names, at most 255 units long and not starting
// with a dot, end in `suffix` and not in `skip_suffix` (null for none), in code-unit order.
// A read failure is logged as one of the `kind` directory ("addons", "extra").
EFI_STATUS list_directory_names(EFI_FILE_PROTOCOL *dir, const char16_t *suffix, const char16_t *skip_suffix,
                                const char *kind, NameList *names);

} // namespace korvane
