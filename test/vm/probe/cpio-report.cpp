#include "cpio-report.h"

#include "boot/sha256.h"
#include "boot/util.h"

namespace korvane::vmtest {

namespace {

constexpr size_t HEADER_SIZE = 110;
constexpr size_t MAGIC_SIZE = 6;
constexpr char TRAILER_NAME[] = "TRAILER!!!";

// The header's 8-digit fields after the magic, in their order.
enum Field {
    FIELD_INO,
    FIELD_MODE,
    FIELD_UID,
    FIELD_GID,
    FIELD_NLINK,
    FIELD_MTIME,
    FIELD_FILE_SIZE,
    FIELD_DEV_MAJOR,
    FIELD_DEV_MINOR,
    FIELD_RDEV_MAJOR,
    FIELD_RDEV_MINOR,
    FIELD_NAME_SIZE,
    FIELD_CHECK,
    FIELD_COUNT,
};
static_assert(MAGIC_SIZE + 8 * FIELD_COUNT == HEADER_SIZE);

constexpr size_t align4(size_t offset) { return (offset + 3) & ~size_t{3}; }

bool bytes_equal(const void *a, const void *b, size_t n) {
    auto *x = static_cast<const uint8_t *>(a), *y = static_cast<const uint8_t *>(b);
    for (size_t i = 0; i < n; i++)
        if (x[i] != y[i])
            return false;
    return true;
}

bool is_magic(const uint8_t *p, size_t available) {
    return available >= MAGIC_SIZE && bytes_equal(p, "07070", 5) && (p[5] == '1' || p[5] == '2');
}

bool parse_word(const uint8_t *p, uint32_t *ret) {
    uint32_t value = 0;
    for (size_t i = 0; i < 8; i++) {
        uint8_t c = p[i];
        uint32_t digit = c >= '0' && c <= '9'   ? c - '0'
                         : c >= 'a' && c <= 'f' ? c - 'a' + 10
                         : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                : 16;
        if (digit == 16)
            return false;
        value = value << 4 | digit;
    }
    *ret = value;
    return true;
}

class Walker {
public:
    Walker(Report &report, const uint8_t *initrd, size_t size) : report_(report), base_(initrd), size_(size) {}

    void walk() {
        size_t at = 0;
        while (at < size_) {
            bool ok = is_magic(base_ + at, size_ - at) ? archive(&at) : raw(&at);
            if (!ok)
                break;
        }
        report_.number("cpio.parts", n_parts_);
        report_.number("cpio.members", n_members_);
    }

private:
    void part(size_t start, size_t end, const char *kind) {
        report_.number(Key("cpio.part", n_parts_, "offset").c_str(), start);
        report_.text8(Key("cpio.part", n_parts_, "kind").c_str(), kind);
        report_.number(Key("cpio.part", n_parts_, "size").c_str(), end - start);
        digest(Key("cpio.part", n_parts_, "sha256").c_str(), start, end - start);
    }

    void digest(const char *key, size_t offset, size_t n) {
        uint8_t d[SHA256_DIGEST_SIZE];
        sha256_direct(base_ + offset, n, d);
        report_.bytes(key, d, sizeof(d));
    }

    bool raw(size_t *at) {
        size_t start = *at, end = align4(start + 1);
        while (end < size_ && !is_magic(base_ + end, size_ - end))
            end += 4;
        end = end < size_ ? end : size_;
        part(start, end, "raw");
        n_parts_++;
        *at = end;
        return true;
    }

    // One archive from *at; false when a header does not parse (the part is then broken).
    bool archive(size_t *at) {
        size_t start = *at, pos = start;
        for (;;) {
            bool trailer = false;
            if (!member(&pos, &trailer)) {
                part(start, size_, "broken");
                n_parts_++;
                return false;
            }
            if (trailer)
                break;
        }
        part(start, pos, "cpio");
        size_t end = pos;
        while (size_ - end >= 4 && bytes_equal(base_ + end, "\0\0\0\0", 4))
            end += 4;
        report_.number(Key("cpio.part", n_parts_, "padding").c_str(), end - pos);
        n_parts_++;
        *at = end;
        return true;
    }

    bool header(size_t at, uint32_t fields[FIELD_COUNT]) {
        if (size_ - at < HEADER_SIZE || !is_magic(base_ + at, size_ - at))
            return false;
        for (size_t i = 0; i < FIELD_COUNT; i++)
            if (!parse_word(base_ + at + MAGIC_SIZE + 8 * i, &fields[i]))
                return false;
        return true;
    }

    // The member at *pos; moves *pos past it. Every size is checked against what is left of
    // the initrd before it is used.
    bool member(size_t *pos, bool *ret_trailer) {
        uint32_t h[FIELD_COUNT];
        if (!header(*pos, h))
            return false;
        uint32_t name_size = h[FIELD_NAME_SIZE], file_size = h[FIELD_FILE_SIZE];
        size_t name_at = *pos + HEADER_SIZE;
        if (name_size == 0 || name_size > size_ - name_at)
            return false;
        const char *name = reinterpret_cast<const char *>(base_ + name_at);
        if (name[name_size - 1] != 0)
            return false;
        size_t data_at = align4(name_at + name_size);
        if (data_at > size_ || file_size > size_ - data_at)
            return false;
        size_t next = align4(data_at + file_size);
        *pos = next < size_ ? next : size_;

        *ret_trailer = name_size == sizeof(TRAILER_NAME) && bytes_equal(name, TRAILER_NAME, sizeof(TRAILER_NAME));
        if (*ret_trailer)
            return true;
        report_.number(Key("cpio.member", n_members_, "part").c_str(), n_parts_);
        report_.text8(Key("cpio.member", n_members_, "name").c_str(), name);
        report_.number(Key("cpio.member", n_members_, "ino").c_str(), h[FIELD_INO]);
        report_.number(Key("cpio.member", n_members_, "mode").c_str(), h[FIELD_MODE]);
        report_.number(Key("cpio.member", n_members_, "size").c_str(), file_size);
        digest(Key("cpio.member", n_members_, "sha256").c_str(), data_at, file_size);
        n_members_++;
        return true;
    }

    Report &report_;
    const uint8_t *base_;
    size_t size_;
    size_t n_parts_ = 0, n_members_ = 0;
};

} // namespace

void report_cpio_members(Report &report, const void *initrd, size_t size) {
    if (!initrd)
        return;
    Walker(report, static_cast<const uint8_t *>(initrd), size).walk();
}

} // namespace korvane::vmtest
