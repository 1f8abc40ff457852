#include "dir-names.h"

#include "file-util.h"
#include "log.h"

namespace korvane {

namespace {

constexpr size_t NAME_MAX = 255;
constexpr size_t NAME_LIST_MIN = 16;

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

} // namespace

// One allocation per name: the record, then the name's units and NUL.
struct NameList::Entry {
    uint64_t file_size;
    const char16_t *name;
};

int NameList::compare(const void *a, const void *b) {
    return str16_compare(static_cast<const Entry *>(a)->name, static_cast<const Entry *>(b)->name);
}

NameList::~NameList() {
    for (size_t i = 0; i < n_; i++)
        free_pool(items_[i]);
    free_pool(items_);
}

EFI_STATUS NameList::append(const char16_t *name, uint64_t file_size) {
    // Doubling keeps the copying of the array linear in the number of names.
    if (allocated_ == n_) {
        size_t capacity = n_ == 0 ? NAME_LIST_MIN : n_;
        if ((n_ > 0 && !MUL_ASSIGN_SAFE(&capacity, size_t{2})) || capacity > SIZE_MAX / sizeof(Entry *))
            return log_out_of_memory();
        Entry **grown = xnew<Entry *>(capacity);
        memcpy(grown, items_, n_ * sizeof(Entry *));
        free_pool(items_);
        items_ = grown;
        allocated_ = capacity;
    }
    // Accepted names are at most NAME_MAX units long, so the size cannot overflow.
    size_t units = str16_len(name) + 1;
    auto *entry = static_cast<Entry *>(xmalloc(sizeof(Entry) + units * sizeof(char16_t)));
    auto *copy = reinterpret_cast<char16_t *>(entry + 1);
    memcpy(copy, name, units * sizeof(char16_t));
    *entry = {file_size, copy};
    items_[n_++] = entry;
    return EFI_SUCCESS;
}

const char16_t *NameList::operator[](size_t i) const { return items_[i]->name; }

uint64_t NameList::file_size(size_t i) const { return items_[i]->file_size; }

void NameList::sort() { sort_pointer_array(reinterpret_cast<void **>(items_), n_, compare); }

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
        err = names->append(info->FileName, info->FileSize);
        if (err != EFI_SUCCESS)
            return err;
    }
    names->sort();
    return EFI_SUCCESS;
}

} // namespace korvane
