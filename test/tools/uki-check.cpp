#include "uki-check.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace uki_test {

Bytes text(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

namespace {

bool same_data(const Image &stub, const Section &a, const Image &out, const Section &b,
               const std::vector<std::uint32_t> &pointer_fields) {
    for (std::uint32_t i = 0; i < a.raw_size; i++) {
        std::uint32_t at = a.raw_pointer + i;
        bool pointer = std::any_of(pointer_fields.begin(), pointer_fields.end(),
                                   [&](std::uint32_t field) { return at >= field && at < field + 4; });
        if (!pointer && stub.bytes[at] != out.bytes[b.raw_pointer + i])
            return false;
    }
    return true;
}

void check_stub_sections(const Image &stub, const Image &out, std::int64_t delta,
                         const std::vector<std::uint32_t> &pointer_fields) {
    for (std::size_t i = 0; i < stub.sections.size(); i++) {
        const Section &a = stub.sections[i], &b = out.sections.at(i);
        SCOPED_TRACE("stub section " + a.name);
        EXPECT_EQ(b.name, a.name);
        EXPECT_EQ(b.virtual_size, a.virtual_size);
        EXPECT_EQ(b.virtual_address, a.virtual_address);
        EXPECT_EQ(b.raw_size, a.raw_size);
        EXPECT_EQ(b.characteristics, a.characteristics);
        EXPECT_EQ(std::int64_t{b.raw_pointer}, std::int64_t{a.raw_pointer} + delta);
        ASSERT_LE(std::uint64_t{b.raw_pointer} + b.raw_size, out.bytes.size());
        EXPECT_TRUE(same_data(stub, a, out, b, pointer_fields));
    }
}

std::uint64_t stub_memory_end(const Image &stub) {
    std::uint64_t end = stub.size_of_image;
    for (const Section &s : stub.sections)
        end = std::max<std::uint64_t>(end, std::uint64_t{s.virtual_address} + std::max(s.virtual_size, s.raw_size));
    return align(end, stub.section_alignment);
}

void check_appended(const Image &stub, const Image &out, const Expected &appended, std::uint64_t raw) {
    std::uint64_t va = stub_memory_end(stub);
    std::uint64_t data = 0;
    for (std::size_t i = 0; i < appended.size(); i++) {
        const auto &[name, content] = appended[i];
        const Section &s = out.sections.at(stub.sections.size() + i);
        SCOPED_TRACE("appended section " + std::to_string(i) + " " + name);
        EXPECT_EQ(s.name, name);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(&out.bytes[s.header_offset]), 8),
                  name + std::string(8 - name.size(), '\0'));
        EXPECT_EQ(s.virtual_size, content.size());
        EXPECT_EQ(s.virtual_address, va);
        EXPECT_EQ(s.raw_pointer, raw);
        EXPECT_EQ(s.raw_size, align(content.size(), out.file_alignment));
        EXPECT_EQ(s.characteristics, 0x40000040u); // initialized data, readable
        EXPECT_EQ(out.data(s), content);
        ASSERT_LE(std::uint64_t{s.raw_pointer} + s.raw_size, out.bytes.size());
        EXPECT_TRUE(std::all_of(out.bytes.begin() + s.raw_pointer + s.virtual_size,
                                out.bytes.begin() + s.raw_pointer + s.raw_size, [](std::uint8_t b) { return b == 0; }))
            << "padding after the data";
        raw += s.raw_size;
        va = align(va + content.size(), stub.section_alignment);
        data += s.raw_size;
    }
    EXPECT_EQ(out.size_of_image, va);
    EXPECT_EQ(out.bytes.size(), raw);
    EXPECT_EQ(out.size_of_initialized_data, stub.size_of_initialized_data + data);
}

} // namespace

void check_layout(const Image &stub, const Image &out, const Expected &appended, std::uint64_t stub_end,
                  const std::vector<std::uint32_t> &pointer_fields) {
    ASSERT_EQ(out.number_of_sections, stub.sections.size() + appended.size());
    ASSERT_EQ(out.sections.size(), stub.sections.size() + appended.size());
    EXPECT_EQ(out.section_alignment, stub.section_alignment);
    EXPECT_EQ(out.file_alignment, stub.file_alignment);
    std::int64_t delta = std::int64_t{out.sections[0].raw_pointer} - stub.sections[0].raw_pointer;
    EXPECT_GE(delta, 0);
    EXPECT_EQ(delta % stub.file_alignment, 0);

    std::uint64_t table_end = out.table + 40 * out.sections.size();
    EXPECT_EQ(out.size_of_headers, std::max<std::uint64_t>(stub.size_of_headers, align(table_end, out.file_alignment)));
    EXPECT_LE(out.size_of_headers, out.sections[0].raw_pointer);
    EXPECT_TRUE(std::all_of(out.bytes.begin() + table_end, out.bytes.begin() + out.sections[0].raw_pointer,
                            [](std::uint8_t b) { return b == 0; }))
        << "header padding";
    // Everything before the section table is the stub's, but for the fields that describe the new layout.
    for (std::size_t i = 0; i < stub.table; i++) {
        bool layout_field = (i >= stub.pe + 6 && i < stub.pe + 8) || (i >= stub.pe + 12 && i < stub.pe + 16) ||
                            (i >= stub.optional + 8 && i < stub.optional + 12) ||
                            (i >= stub.optional + 56 && i < stub.optional + 68) ||
                            (i >= stub.optional + 144 && i < stub.optional + 152);
        if (!layout_field && out.bytes[i] != stub.bytes[i]) {
            ADD_FAILURE() << "header byte " << i << " changed";
            break;
        }
    }
    check_stub_sections(stub, out, delta, pointer_fields);
    check_appended(stub, out, appended, align(stub_end + delta, stub.file_alignment));
    EXPECT_EQ(out.checksum, pe_checksum(out.bytes, out.optional + 64));
}

Image build_ok(const std::vector<std::string> &args, const std::string &output) {
    std::vector<std::string> all{"build"};
    all.insert(all.end(), args.begin(), args.end());
    all.insert(all.end(), {"--output", output});
    RunResult r = run_uki(all);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return read_image(read_file(output));
}

} // namespace uki_test
