#include "dir-names.h"

#include "file-util.h"
#include "log.h"

namespace korvane {

namespace {

constexpr size_t NAME_MAX = 255;
constexpr size_t NAME_LIST_GROWTH = 16;

bool name_acceptable(const EFI_FILE_INFO *info, const char16_t *suffix, const char16_t *skip_suffix) {
    const char16_t *name = info->FileName;
    if (name[0] == u'.' || (info->Attribute & EFI_FILE_DIRECTORY))
        return false;
    if (!endswith_no_case(name, suffix) || (skip_suffix && endswith_no_case(name, skip_suffix)))
        return false;
    size_t n = 0;
    for (; name[n]; n++)
        if (name[n] > 0x7f)
            return false;
    return n <= NAME_MAX;
}

int compare_names(const void *a, const void *b) {
    return str16_compare(static_cast<const char16_t *>(a), static_cast<const char16_t *>(b));
}

} // namespace

EFI_STATUS NameList::append(const char16_t *name) {
    // Room for the new name and the terminating null.
    if (allocated_ < n_ + 2) {
        size_t capacity = n_;
        if (!INC_SAFE(&capacity, NAME_LIST_GROWTH) || capacity > SIZE_MAX / sizeof(char16_t *))
            return log_out_of_memory();
        char16_t **grown = xnew<char16_t *>(capacity);
        memcpy(grown, items_, n_ * sizeof(char16_t *));
        free_pool(items_);
        items_ = grown;
        allocated_ = capacity;
    }
    items_[n_++] = xstr16_dup(name, SIZE_MAX);
    items_[n_] = nullptr;
    return EFI_SUCCESS;
}

void NameList::sort() { sort_pointer_array(reinterpret_cast<void **>(items_), n_, compare_names); }

EFI_STATUS list_directory_names(EFI_FILE_PROTOCOL *dir, const char16_t *suffix, const char16_t *skip_suffix,
                                const char *kind, NameList *names) {
    PoolPtr<EFI_FILE_INFO> info;
    size_t info_size = 0;
    for (;;) {
        EFI_STATUS err = readdir(dir, info.inout(), &info_size);
        if (err != EFI_SUCCESS)
            return log_error(err, "Failed to read %s directory of loaded image: %m", kind);
        if (!info)
            break;
        if (!name_acceptable(info.get(), suffix, skip_suffix))
            continue;
        err = names->append(info->FileName);
        if (err != EFI_SUCCESS)
            return err;
    }
    names->sort();
    return EFI_SUCCESS;
}

} // namespace korvane
