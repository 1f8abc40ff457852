// Reads newc cpio archives strictly, for the tests of the archives the stub writes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace newctest {

inline constexpr uint32_t S_REGULAR = 0100000, S_DIRECTORY = 040000;

inline size_t padded4(size_t n) { return (n + 3) / 4 * 4; }

// The newc header fields, in their order after the magic.
enum Field { INO, MODE, UID, GID, NLINK, MTIME, FILESIZE, DEVMAJOR, DEVMINOR, RDEVMAJOR, RDEVMINOR, NAMESIZE, CHECK };
inline constexpr size_t FIELD_COUNT = 13;

struct Member {
    size_t offset;
    uint32_t field[FIELD_COUNT];
    std::string name;
    std::string data;
};

struct Parsed {
    std::vector<Member> members; // without the trailer
    bool trailer = false;
    std::string error; // the first rule the archive breaks
};

inline bool hex_field(const std::string &s, size_t at, uint32_t *ret) {
    uint32_t v = 0;
    for (size_t i = at; i < at + 8; i++) {
        char c = s[i];
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0)
            return false;
        v = v << 4 | uint32_t(digit);
    }
    *ret = v;
    return true;
}

inline bool zeros(const std::string &s, size_t from, size_t to) {
    for (size_t i = from; i < to; i++)
        if (s[i] != 0)
            return false;
    return true;
}

// Reads a newc archive strictly: records on 4-byte boundaries from the archive start, zero
// padding, names NUL-terminated exactly at their size, nothing after the trailer.
inline Parsed parse_newc(const std::string &s) {
    Parsed out;
    size_t pos = 0;
    auto fail = [&](const std::string &why) {
        out.error = why + " at offset " + std::to_string(pos);
        return out;
    };
    while (pos < s.size()) {
        Member m = {};
        m.offset = pos;
        if (pos % 4 != 0)
            return fail("unaligned record");
        if (s.size() - pos < 110)
            return fail("truncated header");
        if (s.compare(pos, 6, "070701") != 0)
            return fail("bad magic");
        for (size_t i = 0; i < FIELD_COUNT; i++)
            if (!hex_field(s, pos + 6 + 8 * i, &m.field[i]))
                return fail("bad hex field " + std::to_string(i));
        size_t name_at = pos + 110, namesize = m.field[NAMESIZE];
        if (namesize == 0 || s.size() - name_at < namesize)
            return fail("bad name size");
        m.name = s.substr(name_at, namesize - 1);
        if (s[name_at + namesize - 1] != 0 || m.name.find('\0') != std::string::npos)
            return fail("name not terminated at its size");
        size_t data_at = padded4(name_at + namesize);
        if (data_at > s.size() || !zeros(s, name_at + namesize, data_at))
            return fail("bad name padding");
        size_t filesize = m.field[FILESIZE];
        if (s.size() - data_at < filesize)
            return fail("truncated contents");
        m.data = s.substr(data_at, filesize);
        size_t next = padded4(data_at + filesize);
        if (next > s.size() || !zeros(s, data_at + filesize, next))
            return fail("bad contents padding");
        pos = next;
        if (m.name == "TRAILER!!!") {
            out.trailer = true;
            if (pos != s.size())
                return fail("bytes after the trailer");
            break;
        }
        out.members.push_back(m);
    }
    return out;
}

// The exact 124-byte trailer record.
inline const std::string TRAILER = std::string("070701"
                                               "00000000"
                                               "00000000"
                                               "00000000"
                                               "00000000"
                                               "00000001"
                                               "00000000"
                                               "00000000"
                                               "00000000"
                                               "00000000"
                                               "00000000"
                                               "00000000"
                                               "0000000B"
                                               "00000000"
                                               "TRAILER!!!") +
                                   std::string(4, '\0');

inline void expect_member(const Member &m, const std::string &name, uint32_t mode, uint32_t ino,
                          const std::string &data) {
    SCOPED_TRACE("member " + name);
    EXPECT_EQ(m.name, name);
    EXPECT_EQ(m.field[MODE], mode);
    EXPECT_EQ(m.field[INO], ino);
    EXPECT_EQ(m.field[NAMESIZE], name.size() + 1);
    EXPECT_EQ(m.field[FILESIZE], data.size());
    EXPECT_EQ(m.data, data);
    EXPECT_EQ(m.field[NLINK], 1u);
    for (Field f : {UID, GID, MTIME, DEVMAJOR, DEVMINOR, RDEVMAJOR, RDEVMINOR, CHECK})
        EXPECT_EQ(m.field[f], 0u) << "field " << f;
}

} // namespace newctest
