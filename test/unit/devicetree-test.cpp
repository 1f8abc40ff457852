#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "boot/devicetree.h"
#include "fdt-builder.h"

using korvane::devicetree_get_compatible;
using korvane::devicetree_match_by_compatible;
using namespace fdttest;

namespace {

const std::string two_compatibles("acme,board-a\0acme,soc\0", 22);

// A typical board: properties of the root, then its children.
Fdt board(const std::string &compatible = two_compatibles) {
    Fdt f;
    f.begin_node("")
        .prop("#address-cells", std::string("\0\0\0\2", 4))
        .prop("model", std::string("Acme\0", 5))
        .prop("compatible", compatible)
        .begin_node("cpus")
        .prop("compatible", std::string("acme,cpus\0", 10))
        .end_node()
        .end_node()
        .end();
    return f;
}

std::string compatible_of(const std::vector<uint8_t> &blob) {
    const char *c = devicetree_get_compatible(blob.data());
    return c ? c : "(null)";
}

// Header fields by offset.
enum : size_t { TOTALSIZE = 4, OFF_STRUCT = 8, OFF_STRINGS = 12, SIZE_STRINGS = 32, SIZE_STRUCT = 36 };

} // namespace

TEST(DevicetreeCompatible, FindsTheRootsFirstString) {
    std::vector<uint8_t> blob = board().build();
    const char *c = devicetree_get_compatible(blob.data());
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c, "acme,board-a");
    // The value is returned in place, not copied.
    EXPECT_GE(c, reinterpret_cast<const char *>(blob.data()));
    EXPECT_LT(c, reinterpret_cast<const char *>(blob.data() + blob.size()));
}

TEST(DevicetreeCompatible, NopsAndOtherPropertiesAreSteppedOver) {
    Fdt f;
    f.nop()
        .begin_node("")
        .nop()
        .prop("a", "x")            // one byte: padded to a word
        .prop("bb", std::string()) // empty value: no value words
        .prop("longer", std::string(9, 'y'))
        .nop()
        .prop("compatible", std::string("acme,board-b\0", 13))
        .end_node()
        .end();
    EXPECT_EQ(compatible_of(f.build()), "acme,board-b");
}

TEST(DevicetreeCompatible, OnlyTheRootNodeCounts) {
    Fdt child_only;
    child_only.begin_node("")
        .begin_node("soc")
        .prop("compatible", std::string("acme,soc\0", 9))
        .end_node()
        .end_node()
        .end();
    EXPECT_EQ(compatible_of(child_only.build()), "(null)");

    // A root compatible after a child node is out of order and not looked for.
    Fdt after_child;
    after_child.begin_node("")
        .begin_node("soc")
        .end_node()
        .prop("compatible", std::string("acme,board-a\0", 13))
        .end_node()
        .end();
    EXPECT_EQ(compatible_of(after_child.build()), "(null)");

    Fdt named_root;
    named_root.begin_node("x").prop("compatible", std::string("acme,board-a\0", 13)).end_node().end();
    EXPECT_EQ(compatible_of(named_root.build()), "(null)");

    Fdt no_compatible;
    no_compatible.begin_node("").prop("model", std::string("Acme\0", 5)).end_node().end();
    EXPECT_EQ(compatible_of(no_compatible.build()), "(null)");
}

TEST(DevicetreeCompatible, PropertyNameMustBeExactlyCompatible) {
    for (const char *name : {"compatibl", "compatiblex", "Compatible", "compatible-x"}) {
        Fdt f;
        f.begin_node("").prop(name, std::string("acme,board-a\0", 13)).end_node().end();
        EXPECT_EQ(compatible_of(f.build()), "(null)") << name;
    }
}

TEST(DevicetreeCompatible, NameCutByTheEndOfTheStringsBlock) {
    // The strings block ends in "compatible" without its NUL, right at the end of the blob.
    Fdt f;
    f.append_strings("compatible");
    f.begin_node("").prop_raw(13, 0, std::string("acme,board-a\0", 13)).end_node().end();
    std::vector<uint8_t> blob = f.build();
    EXPECT_EQ(compatible_of(blob), "(null)");
    EXPECT_EQ(devicetree_match_by_compatible(blob.data(), blob.size(), "acme,board-a"), EFI_INVALID_PARAMETER);
}

TEST(DevicetreeCompatible, NameOffsetBeyondTheStringsBlock) {
    Fdt f;
    uint32_t far = f.name_offset("model") + 0x1000;
    f.begin_node("")
        .prop_raw(13, far, std::string("acme,board-a\0", 13))
        .prop("compatible", std::string("ok\0", 3))
        .end_node()
        .end();
    EXPECT_EQ(compatible_of(f.build()), "ok");

    Fdt g;
    g.begin_node("").prop_raw(13, 0xfffffff8, std::string("acme,board-a\0", 13)).end_node().end();
    EXPECT_EQ(compatible_of(g.build()), "(null)");
}

TEST(DevicetreeCompatible, UnusableValues) {
    struct Case {
        const char *what;
        Fdt fdt;
    };
    Fdt empty = board(std::string());
    Fdt unterminated = board(std::string("acme,board-a", 12));
    // A length that claims more than the structure block holds.
    Fdt past_block;
    past_block.begin_node("").prop_raw(64, past_block.name_offset("compatible"), std::string("acme\0", 5));
    // Any other token ends the walk.
    Fdt other_token;
    other_token.begin_node("").word(7).prop("compatible", std::string("acme\0", 5)).end_node().end();
    Fdt end_first;
    end_first.end().begin_node("").prop("compatible", std::string("acme\0", 5)).end_node().end();
    // A property header cut by the end of the block.
    Fdt cut_header;
    cut_header.begin_node("").word(FDT_PROP).word(5);
    Fdt cut_node;
    cut_node.word(FDT_BEGIN_NODE);
    for (Fdt *f : {&empty, &unterminated, &past_block, &other_token, &end_first, &cut_header, &cut_node}) {
        std::vector<uint8_t> blob = f->build();
        EXPECT_EQ(compatible_of(blob), "(null)");
        EXPECT_EQ(devicetree_match_by_compatible(blob.data(), blob.size(), "acme"), EFI_INVALID_PARAMETER);
    }
}

TEST(DevicetreeCompatible, HugePropertyLengthEndsTheWalk) {
    Fdt f;
    f.begin_node("")
        .prop_raw(0xffffffff, f.name_offset("model"), "")
        .prop("compatible", std::string("a\0", 2))
        .end_node()
        .end();
    EXPECT_EQ(compatible_of(f.build()), "(null)");
}

TEST(DevicetreeMatch, ComparesTheFirstStringWhole) {
    std::vector<uint8_t> blob = board().build();
    EXPECT_EQ(devicetree_match_by_compatible(blob.data(), blob.size(), "acme,board-a"), EFI_SUCCESS);
    EXPECT_EQ(devicetree_match_by_compatible(blob.data(), blob.size(), "acme,soc"), EFI_NOT_FOUND);
    EXPECT_EQ(devicetree_match_by_compatible(blob.data(), blob.size(), "acme,board"), EFI_NOT_FOUND);
    EXPECT_EQ(devicetree_match_by_compatible(blob.data(), blob.size(), "acme,board-ab"), EFI_NOT_FOUND);
    EXPECT_EQ(devicetree_match_by_compatible(blob.data(), blob.size(), ""), EFI_NOT_FOUND);
}

TEST(DevicetreeMatch, LongerBufferThanTheBlobIsFine) {
    std::vector<uint8_t> blob = board().build();
    size_t size = blob.size();
    blob.resize(size + 100, 0xee);
    EXPECT_EQ(devicetree_match_by_compatible(blob.data(), blob.size(), "acme,board-a"), EFI_SUCCESS);
}

TEST(DevicetreeMatch, ShortBlobsAreUnusable) {
    std::vector<uint8_t> full = board().build();
    // Every length below the header's totalsize, in a buffer of exactly that size.
    for (size_t len = 0; len < full.size(); len++) {
        std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<long>(len));
        // A zero-sized vector has no storage; give the function an address all the same.
        uint32_t dummy;
        const void *p = len ? static_cast<const void *>(cut.data()) : &dummy;
        EXPECT_EQ(devicetree_match_by_compatible(p, len, "acme,board-a"), EFI_INVALID_PARAMETER) << len;
    }
}

TEST(DevicetreeMatch, Under40BytesIsUnusableWhateverTheHeaderSays) {
    std::vector<uint8_t> full = board().build();
    std::vector<uint8_t> cut(full.begin(), full.begin() + 39);
    put_be32(cut, TOTALSIZE, 20);
    EXPECT_EQ(devicetree_match_by_compatible(cut.data(), cut.size(), "acme,board-a"), EFI_INVALID_PARAMETER);
}

TEST(DevicetreeMatch, UnalignedBlob) {
    std::vector<uint8_t> blob = board().build();
    std::vector<uint8_t> shifted(blob.size() + 1);
    std::memcpy(shifted.data() + 1, blob.data(), blob.size());
    EXPECT_EQ(devicetree_get_compatible(shifted.data() + 1), nullptr);
    EXPECT_EQ(devicetree_match_by_compatible(shifted.data() + 1, blob.size(), "acme,board-a"), EFI_INVALID_PARAMETER);
}

TEST(DevicetreeHeader, BlocksMustLieInsideInOrder) {
    const std::vector<uint8_t> good = board().build();
    ASSERT_EQ(compatible_of(good), "acme,board-a");
    uint32_t total = get_be32(good, TOTALSIZE), off_struct = get_be32(good, OFF_STRUCT),
             size_struct = get_be32(good, SIZE_STRUCT), off_strings = get_be32(good, OFF_STRINGS),
             size_strings = get_be32(good, SIZE_STRINGS);
    struct Case {
        const char *what;
        size_t field;
        uint32_t value;
    } cases[] = {
        {"bad magic", 0, 0xedfe0dd0},
        {"strings block past totalsize", SIZE_STRINGS, size_strings + 1},
        {"strings offset past totalsize", OFF_STRINGS, total},
        {"strings block wraps around", SIZE_STRINGS, 0xffffffff - off_strings + 2},
        {"structure offset not aligned", OFF_STRUCT, off_struct + 2},
        {"structure size not aligned", SIZE_STRUCT, size_struct - 2},
        {"structure block runs into the strings", SIZE_STRUCT, size_struct + 4},
        {"structure block wraps around", OFF_STRUCT, 0xfffffffc},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> blob = good;
        put_be32(blob, c.field, c.value);
        EXPECT_EQ(compatible_of(blob), "(null)") << c.what;
        EXPECT_EQ(devicetree_match_by_compatible(blob.data(), blob.size(), "acme,board-a"), EFI_INVALID_PARAMETER)
            << c.what;
    }

    // An empty structure block at offset 0 ends at 0.
    std::vector<uint8_t> empty = good;
    put_be32(empty, OFF_STRUCT, 0);
    put_be32(empty, SIZE_STRUCT, 0);
    EXPECT_EQ(compatible_of(empty), "(null)");

    // Checks are made against totalsize, so a blob that claims less than its buffer is cut there.
    std::vector<uint8_t> claims_less = good;
    put_be32(claims_less, TOTALSIZE, off_strings + size_strings - 1);
    EXPECT_EQ(devicetree_match_by_compatible(claims_less.data(), claims_less.size(), "acme,board-a"),
              EFI_INVALID_PARAMETER);
}

// Whatever the bytes say, the reader stays inside the buffer (ASan checks every access) and
// answers with one of its three statuses.
TEST(DevicetreeMatch, CorruptedBlobsStayInBounds) {
    const std::vector<uint8_t> good = board().build();
    std::mt19937 rng(1234);
    for (int round = 0; round < 3000; round++) {
        std::vector<uint8_t> blob = good;
        int flips = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < flips; i++) {
            size_t at = rng() % blob.size();
            // Mostly small changes to words, so that offsets and lengths stay plausible.
            blob[at] = round % 2 ? static_cast<uint8_t>(rng()) : static_cast<uint8_t>(blob[at] ^ (1u << (rng() % 8)));
        }
        // The buffer ends where the (possibly changed) header says the blob ends, or earlier.
        size_t len = std::min<size_t>(blob.size(), get_be32(blob, TOTALSIZE));
        len = std::max<size_t>(len, HEADER_SIZE);
        std::vector<uint8_t> exact(blob.begin(), blob.begin() + static_cast<long>(len));
        EFI_STATUS r = devicetree_match_by_compatible(exact.data(), exact.size(), "acme,board-a");
        EXPECT_TRUE(r == EFI_SUCCESS || r == EFI_NOT_FOUND || r == EFI_INVALID_PARAMETER) << round;
    }
}
