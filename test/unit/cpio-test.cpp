#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "boot/cpio.h"
#include "fakefw/fakefw.h"
#include "newc-reader.h"

using namespace korvane;
using fakefw::Service;

namespace {

namespace fs = std::filesystem;

using namespace newctest;

// An archive under construction in pool memory of the fake firmware, freed before the
// firmware checks for leaks.
class CpioTest : public testing::Test {
protected:
    ~CpioTest() override { free_pool(buffer); }

    EFI_STATUS file(const char16_t *name, const std::string &contents, const char *prefix = ".extra",
                    uint32_t mode = 0444) {
        return pack_cpio_one(name, contents.empty() ? nullptr : contents.data(), contents.size(), prefix, mode, &inode,
                             &buffer, &size);
    }
    EFI_STATUS dir(const char *path, uint32_t mode = 0555) { return pack_cpio_dir(path, mode, &inode, &buffer, &size); }
    EFI_STATUS leading_dirs(const char *path, uint32_t mode) {
        return pack_cpio_leading_dirs(path, mode, &inode, &buffer, &size);
    }
    std::string bytes() const { return buffer ? std::string(static_cast<const char *>(buffer), size) : ""; }
    Parsed parsed() const { return parse_newc(bytes()); }

    fakefw::Firmware fw;
    void *buffer = nullptr;
    size_t size = 0;
    uint32_t inode = 1;
};

std::string contents_of(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = char((i * 37 + seed * 11 + 1) & 0xff);
    return s;
}

} // namespace

TEST(CpioWord, EightLowercaseDigitsMostSignificantFirst) {
    const std::pair<uint32_t, const char *> cases[] = {
        {0, "00000000"}, {1, "00000001"}, {0x416d, "0000416d"}, {0xdeadbeef, "deadbeef"}, {0xffffffff, "ffffffff"}};
    for (auto [value, text] : cases) {
        char buf[10] = "#########";
        EXPECT_EQ(write_cpio_word(buf, value), buf + 8);
        EXPECT_EQ(std::string(buf, 9), std::string(text) + "#");
    }
}

TEST(CpioPad, ZerosUpToTheNextMultipleOfFourFromTheStart) {
    for (size_t at = 0; at < 8; at++) {
        char buf[12];
        std::fill(std::begin(buf), std::end(buf), '#');
        char *end = pad4(buf + at, buf);
        EXPECT_EQ(size_t(end - buf), padded4(at)) << at;
        EXPECT_TRUE(zeros(std::string(buf, 12), at, padded4(at))) << at;
        EXPECT_EQ(buf[padded4(at)], '#') << at;
    }
}

TEST_F(CpioTest, LiteralArchiveMatchesHandWrittenBytes) {
    iovec archive = {};
    ASSERT_EQ(pack_cpio_literal("hello", 5, ".extra", u"a", 0555, 0444, &archive), EFI_SUCCESS);
    buffer = archive.iov_base;
    size = archive.iov_len;
    const std::string expected =
        // ".extra": 110 + 7 name bytes + 3 padding.
        std::string("070701"
                    "00000001"
                    "0000416d"
                    "00000000"
                    "00000000"
                    "00000001"
                    "00000000"
                    "00000000"
                    "00000000"
                    "00000000"
                    "00000000"
                    "00000000"
                    "00000007"
                    "00000000"
                    ".extra") +
        std::string(4, '\0') +
        // ".extra/a": 110 + 9 name bytes + 1 padding, then 5 data bytes + 3 padding.
        std::string("070701"
                    "00000002"
                    "00008124"
                    "00000000"
                    "00000000"
                    "00000001"
                    "00000000"
                    "00000005"
                    "00000000"
                    "00000000"
                    "00000000"
                    "00000000"
                    "00000009"
                    "00000000"
                    ".extra/a") +
        std::string(2, '\0') + "hello" + std::string(3, '\0') + TRAILER;
    ASSERT_EQ(expected.size(), 120u + 128u + 124u);
    EXPECT_EQ(bytes(), expected);
    // The caller receives a pool buffer of exactly the archive's size.
    const fakefw::PoolBlock *block = fw.memory().pool(buffer);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->size, size);
    EXPECT_EQ(block->type, EfiLoaderData);
    EXPECT_EQ(fw.memory().live_pool_count(), 1u);
}

TEST_F(CpioTest, ModesCarryTheFileTypeBits) {
    ASSERT_EQ(dir(".extra", 0555), EFI_SUCCESS);
    ASSERT_EQ(file(u"x", "", ".extra", 0400), EFI_SUCCESS);
    std::string s = bytes();
    EXPECT_EQ(s.substr(14, 8), "0000416d");
    EXPECT_EQ(s.substr(120 + 14, 8), "00008100");
    Parsed p = parsed();
    ASSERT_EQ(p.error, "");
    ASSERT_EQ(p.members.size(), 2u);
    EXPECT_EQ(p.members[0].field[MODE], S_DIRECTORY | 0555);
    EXPECT_EQ(p.members[1].field[MODE], S_REGULAR | 0400);
}

TEST_F(CpioTest, NamesAndContentsOfEveryLengthStayAligned) {
    // Prefix, name and contents lengths through all residues mod 4, in one archive.
    const char *prefixes[] = {"", "p", "pp", "ppp"};
    const char16_t *names[] = {u"a", u"bb", u"ccc", u"dddd", u"eeeee"};
    std::vector<std::pair<std::string, std::string>> expected;
    size_t expected_size = 0;
    unsigned n = 0;
    for (const char *prefix : prefixes)
        for (const char16_t *name : names) {
            std::string contents = contents_of(n % 9, n);
            ASSERT_EQ(file(name, contents, prefix, 0444), EFI_SUCCESS);
            std::string full = std::string(prefix) + "/" + fakefw::to_utf8(name);
            expected.emplace_back(full, contents);
            expected_size += padded4(110 + full.size() + 1) + padded4(contents.size());
            EXPECT_EQ(size, expected_size) << full;
            n++;
        }
    Parsed p = parsed();
    ASSERT_EQ(p.error, "");
    EXPECT_FALSE(p.trailer);
    ASSERT_EQ(p.members.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++)
        expect_member(p.members[i], expected[i].first, S_REGULAR | 0444, uint32_t(i + 1), expected[i].second);
}

TEST_F(CpioTest, DirectoryPathsOfEveryLength) {
    std::string path;
    size_t expected_size = 0;
    for (unsigned l = 1; l <= 8; l++) {
        path += char('a' + l);
        ASSERT_EQ(dir(path.c_str(), 0500), EFI_SUCCESS);
        expected_size += padded4(110 + l + 1);
        EXPECT_EQ(size, expected_size) << path;
    }
    Parsed p = parsed();
    ASSERT_EQ(p.error, "");
    ASSERT_EQ(p.members.size(), 8u);
    for (unsigned i = 0; i < 8; i++)
        expect_member(p.members[i], path.substr(0, i + 1), S_DIRECTORY | 0500, i + 1, "");
}

TEST_F(CpioTest, EmptyFilesAndEmptyPrefix) {
    std::string one = "1";
    ASSERT_EQ(file(u"x", "", ""), EFI_SUCCESS);
    // A non-null pointer with no bytes is an empty file too.
    ASSERT_EQ(pack_cpio_one(u"y", one.data(), 0, ".extra", 0444, &inode, &buffer, &size), EFI_SUCCESS);
    EXPECT_EQ(size, padded4(110 + 3) + padded4(110 + 9));
    std::string s = bytes();
    EXPECT_EQ(s.substr(54, 8), "00000000");
    Parsed p = parsed();
    ASSERT_EQ(p.error, "");
    ASSERT_EQ(p.members.size(), 2u);
    expect_member(p.members[0], "/x", S_REGULAR | 0444, 1, "");
    expect_member(p.members[1], ".extra/y", S_REGULAR | 0444, 2, "");
    EXPECT_EQ(p.members[1].offset, padded4(110 + 3));
    EXPECT_EQ(s.substr(p.members[1].offset + 54, 8), "00000000");
}

TEST_F(CpioTest, SevenBitNamesAreNarrowedUnitByUnit) {
    ASSERT_EQ(file(u"A~\x7f z.Cred", "c"), EFI_SUCCESS);
    Parsed p = parsed();
    ASSERT_EQ(p.error, "");
    ASSERT_EQ(p.members.size(), 1u);
    expect_member(p.members[0], ".extra/A~\x7f z.Cred", S_REGULAR | 0444, 1, "c");
}

TEST_F(CpioTest, LeadingDirectoriesSkipEmptyComponents) {
    const struct {
        const char *path;
        std::vector<std::string> dirs; // every one but the last has mode 0555
    } cases[] = {
        {".extra/credentials", {".extra", ".extra/credentials"}},
        {".extra", {".extra"}},
        {"a//b", {"a", "a//b"}},
        {"/a", {"/a"}},
        {"a/", {"a", "a/"}},
        {"a/b/c", {"a", "a/b", "a/b/c"}},
        {"//x//", {"//x", "//x//"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        free_pool(buffer);
        buffer = nullptr;
        size = 0;
        inode = 1;
        ASSERT_EQ(leading_dirs(c.path, 0500), EFI_SUCCESS);
        Parsed p = parsed();
        ASSERT_EQ(p.error, "");
        ASSERT_EQ(p.members.size(), c.dirs.size());
        for (size_t i = 0; i < c.dirs.size(); i++)
            expect_member(p.members[i], c.dirs[i], S_DIRECTORY | (i + 1 == c.dirs.size() ? 0500 : 0555),
                          uint32_t(i + 1), "");
        EXPECT_EQ(inode, c.dirs.size() + 1);
    }
}

TEST_F(CpioTest, EveryAppendReallocatesToExactlyTheNewSize) {
    ASSERT_EQ(leading_dirs(".extra/sysext", 0555), EFI_SUCCESS);
    for (const char16_t *name : {u"a.raw", u"bb.raw", u"c"}) {
        void *before = buffer;
        std::string old = bytes();
        unsigned allocations = fw.calls(Service::AllocatePool);
        ASSERT_EQ(file(name, contents_of(7, 1)), EFI_SUCCESS);
        EXPECT_EQ(fw.calls(Service::AllocatePool), allocations + 1);
        EXPECT_EQ(fw.memory().pool(before), nullptr); // the old buffer is gone
        EXPECT_EQ(fw.memory().pool_size(buffer), size);
        EXPECT_EQ(fw.memory().live_pool_count(), 1u);
        EXPECT_EQ(bytes().substr(0, old.size()), old);
    }
    append_cpio_trailer(&buffer, &size);
    EXPECT_EQ(fw.memory().pool_size(buffer), size);
    EXPECT_EQ(bytes().substr(size - 124), TRAILER);
    Parsed p = parsed();
    ASSERT_EQ(p.error, "");
    EXPECT_TRUE(p.trailer);
    ASSERT_EQ(p.members.size(), 5u);
    for (size_t i = 0; i < 5; i++)
        EXPECT_EQ(p.members[i].field[INO], i + 1);
}

TEST_F(CpioTest, InodeCounterRunsOutBeforeReachingAllOnes) {
    inode = 41;
    ASSERT_EQ(dir("d"), EFI_SUCCESS);
    ASSERT_EQ(file(u"f", "x"), EFI_SUCCESS);
    EXPECT_EQ(inode, 43u);

    inode = 0xfffffffe;
    ASSERT_EQ(file(u"last", "y"), EFI_SUCCESS);
    EXPECT_EQ(inode, 0xffffffffu);
    Parsed p = parsed();
    ASSERT_EQ(p.error, "");
    ASSERT_EQ(p.members.size(), 3u);
    EXPECT_EQ(p.members[0].field[INO], 41u);
    EXPECT_EQ(p.members[1].field[INO], 42u);
    EXPECT_EQ(p.members[2].field[INO], 0xfffffffeu);

    // Exhausted: nothing is appended, nothing allocated, the counter stays.
    void *before = buffer;
    std::string old = bytes();
    unsigned allocations = fw.calls(Service::AllocatePool);
    EXPECT_EQ(file(u"more", "z"), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(dir("more"), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(leading_dirs("a/b", 0555), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(fw.calls(Service::AllocatePool), allocations);
    EXPECT_EQ(buffer, before);
    EXPECT_EQ(bytes(), old);
    EXPECT_EQ(inode, 0xffffffffu);
}

TEST_F(CpioTest, LeadingDirectoryFailureKeepsWhatWasAppended) {
    inode = 0xfffffffd;
    EXPECT_EQ(leading_dirs("a/b/c", 0500), EFI_OUT_OF_RESOURCES);
    Parsed p = parsed();
    ASSERT_EQ(p.error, "");
    ASSERT_EQ(p.members.size(), 2u);
    expect_member(p.members[0], "a", S_DIRECTORY | 0555, 0xfffffffd, "");
    expect_member(p.members[1], "a/b", S_DIRECTORY | 0555, 0xfffffffe, "");
    EXPECT_EQ(inode, 0xffffffffu);
}

TEST_F(CpioTest, ContentsSizeLimitIsAllOnes) {
    // Never read: every case is refused before the contents are touched.
    static const char contents[1] = {};
    unsigned allocations = fw.calls(Service::AllocatePool);
    EXPECT_EQ(pack_cpio_one(u"big", contents, size_t(0x100000000), ".extra", 0444, &inode, &buffer, &size),
              EFI_LOAD_ERROR);
    EXPECT_EQ(pack_cpio_one(u"big", contents, SIZE_MAX, ".extra", 0444, &inode, &buffer, &size), EFI_LOAD_ERROR);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(inode, 1u);
    // The size check comes first, so with the counter exhausted a size of exactly 0xFFFFFFFF
    // gets past it and is refused for the counter instead, while one byte more is not.
    inode = 0xffffffff;
    EXPECT_EQ(pack_cpio_one(u"big", contents, 0xffffffff, ".extra", 0444, &inode, &buffer, &size),
              EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(pack_cpio_one(u"big", contents, size_t(0x100000000), ".extra", 0444, &inode, &buffer, &size),
              EFI_LOAD_ERROR);
    EXPECT_EQ(fw.calls(Service::AllocatePool), allocations);
}

TEST_F(CpioTest, ArchiveSizeOverflowAppendsNothing) {
    // Claimed sizes no buffer could have, each the smallest one the member no longer fits
    // after: the arithmetic must refuse before anything is touched.
    static char dummy[4];
    auto refused = [](size_t claimed, const std::function<EFI_STATUS(uint32_t *, void **, size_t *)> &append) {
        SCOPED_TRACE(claimed);
        void *fake = dummy;
        size_t fake_size = claimed;
        uint32_t counter = 1;
        EXPECT_EQ(append(&counter, &fake, &fake_size), EFI_OUT_OF_RESOURCES);
        EXPECT_EQ(fake, static_cast<void *>(dummy));
        EXPECT_EQ(fake_size, claimed);
        EXPECT_EQ(counter, 1u);
    };
    // "/f" with one byte: 110 + 3 name bytes + 3 padding, 1 data byte + 3 padding.
    refused(SIZE_MAX - 119,
            [](uint32_t *c, void **b, size_t *s) { return pack_cpio_one(u"f", "x", 1, "", 0444, c, b, s); });
    // "d": 110 + 2 name bytes.
    refused(SIZE_MAX - 111, [](uint32_t *c, void **b, size_t *s) { return pack_cpio_dir("d", 0555, c, b, s); });
    refused(SIZE_MAX - 111,
            [](uint32_t *c, void **b, size_t *s) { return pack_cpio_leading_dirs("a/b", 0555, c, b, s); });
    EXPECT_EQ(fw.calls(Service::AllocatePool), 0u);
}

TEST_F(CpioTest, LiteralRefusalIsLoggedAndLeavesNothingBehind) {
    static const char contents[1] = {};
    iovec archive = {reinterpret_cast<void *>(0x1234), 77};
    EXPECT_EQ(pack_cpio_literal(contents, size_t(0x100000000), ".extra", u"big.img", 0555, 0444, &archive),
              EFI_LOAD_ERROR);
    EXPECT_EQ(archive.iov_base, reinterpret_cast<void *>(0x1234));
    EXPECT_EQ(archive.iov_len, 77u);
    EXPECT_EQ(fw.memory().live_pool_count(), 0u); // the ".extra" directory was discarded
    std::vector<fakefw::Line> lines = fw.console().lines();
    ASSERT_EQ(lines.size(), 1u);
    std::string line = lines[0].utf8();
    EXPECT_EQ(line.rfind("src/boot/cpio.cpp:", 0), 0u) << line;
    EXPECT_NE(line.find("@pack_cpio_literal: Failed to pack cpio file big.img: Load error"), std::string::npos) << line;
    EXPECT_EQ(lines[0].attributes.back(), UINTN(EFI_LIGHTRED));
}

TEST_F(CpioTest, LiteralOfNoDataHoldsAnEmptyFile) {
    iovec archive = {};
    ASSERT_EQ(pack_cpio_literal(nullptr, 0, ".extra", u"profile", 0555, 0444, &archive), EFI_SUCCESS);
    buffer = archive.iov_base;
    size = archive.iov_len;
    Parsed p = parsed();
    ASSERT_EQ(p.error, "");
    EXPECT_TRUE(p.trailer);
    ASSERT_EQ(p.members.size(), 2u);
    expect_member(p.members[0], ".extra", S_DIRECTORY | 0555, 1, "");
    expect_member(p.members[1], ".extra/profile", S_REGULAR | 0444, 2, "");
    EXPECT_EQ(size % 4, 0u);
}

namespace {

// Each halt needs a machine of its own; returns the console text at the halt.
std::string halt_text(const std::function<void(void **, size_t *)> &body, size_t initial_size = 0) {
    fakefw::Firmware fw;
    void *buffer = initial_size ? xmalloc(initial_size) : nullptr;
    size_t size = initial_size;
    return fakefw::expect_halt([&] { body(&buffer, &size); });
}

void expect_assertion(const std::string &console, const std::string &expression, const std::string &function) {
    EXPECT_NE(console.find("korvane-boot: Assertion '" + expression + "' failed at src/boot/cpio.cpp:"),
              std::string::npos)
        << console;
    EXPECT_NE(console.find("@" + function + ", halting."), std::string::npos) << console;
}

} // namespace

TEST(CpioHalt, NamesBeyondSevenBitsHalt) {
    for (const char16_t *name : {u"\x80", u"caf\u00e9.cred", u"x\uffff"}) {
        uint32_t inode = 1;
        expect_assertion(
            halt_text([&](void **b, size_t *s) { (void)pack_cpio_one(name, "c", 1, "p", 0444, &inode, b, s); }),
            "*fname <= 0x7f", "mangle_filename");
    }
}

TEST(CpioHalt, MissingRequiredArgumentsHalt) {
    uint32_t inode = 1;
    expect_assertion(
        halt_text([&](void **b, size_t *s) { (void)pack_cpio_one(nullptr, "c", 1, "p", 0444, &inode, b, s); }), "fname",
        "pack_cpio_one");
    expect_assertion(
        halt_text([&](void **b, size_t *s) { (void)pack_cpio_one(u"f", nullptr, 1, "p", 0444, &inode, b, s); }),
        "contents || contents_size == 0", "pack_cpio_one");
    expect_assertion(halt_text([&](void **, size_t *) {
                         iovec out;
                         (void)pack_cpio_literal(nullptr, 3, ".extra", u"f", 0555, 0444, &out);
                     }),
                     "data || data_size == 0", "pack_cpio_literal");
    expect_assertion(halt_text([&](void **, size_t *) {
                         iovec out;
                         (void)pack_cpio_literal("d", 1, ".extra", nullptr, 0555, 0444, &out);
                     }),
                     "target_filename", "pack_cpio_literal");
}

TEST(CpioHalt, ArchiveNotEndingOnFourBytesHaltsBeforeWriting) {
    // Padding counts from the archive start, so appending to such an archive would write past
    // the end of its new buffer.
    uint32_t inode = 1;
    expect_assertion(
        halt_text([&](void **b, size_t *s) { (void)pack_cpio_one(u"f", "abcde", 5, "p", 0444, &inode, b, s); }, 2),
        "*cpio_buffer_size % 4 == 0", "assert_archive");
    expect_assertion(halt_text([&](void **b, size_t *s) { (void)pack_cpio_dir("d", 0555, &inode, b, s); }, 6),
                     "*cpio_buffer_size % 4 == 0", "assert_archive");
    expect_assertion(halt_text([&](void **b, size_t *s) { append_cpio_trailer(b, s); }, 1),
                     "*cpio_buffer_size % 4 == 0", "assert_archive");
}

TEST(CpioHalt, TrailerSizeOverflowHalts) {
    fakefw::Firmware fw;
    static char dummy[4];
    void *fake = dummy;
    size_t fake_size = SIZE_MAX - 3;
    expect_assertion(fakefw::expect_halt([&] { append_cpio_trailer(&fake, &fake_size); }),
                     "INC_SAFE(&new_size, sizeof(CPIO_TRAILER))", "append_cpio_trailer");
}

TEST(CpioHalt, ArchiveSizeJustShortOfOverflowGoesToTheAllocator) {
    fakefw::Firmware fw;
    static char dummy[4];
    void *fake = dummy;
    size_t fake_size = SIZE_MAX - 123;
    uint32_t inode = 1;
    std::string console =
        fakefw::expect_halt([&] { (void)pack_cpio_one(u"f", "x", 1, "", 0444, &inode, &fake, &fake_size); });
    EXPECT_NE(console.find("Assertion 'BS->AllocatePool(EfiLoaderData, size, &p) == EFI_SUCCESS' failed"),
              std::string::npos)
        << console;
}

TEST(CpioHalt, AllocationFailureHalts) {
    fakefw::Firmware fw;
    // Only the archive's second allocation fails; the report itself may need the pool.
    fw.fail(Service::AllocatePool, EFI_OUT_OF_RESOURCES, 1, 1);
    iovec out;
    std::string console =
        fakefw::expect_halt([&] { (void)pack_cpio_literal("d", 1, ".extra", u"f", 0555, 0444, &out); });
    EXPECT_NE(console.find("Assertion 'BS->AllocatePool(EfiLoaderData, size, &p) == EFI_SUCCESS' failed"),
              std::string::npos)
        << console;
}

namespace {

bool have_cpio_tool() { return std::system("command -v cpio >/dev/null 2>&1") == 0; }

// A scratch directory, removed with everything in it, read-only directories included.
class ScratchDir {
public:
    ScratchDir() {
        std::string tmpl = (fs::temp_directory_path() / "korvane-cpio-XXXXXX").string();
        if (mkdtemp(tmpl.data()))
            path_ = tmpl;
    }
    ~ScratchDir() {
        if (path_.empty())
            return;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec))
            if (it->is_directory(ec))
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
};

std::string read_file(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct ToolRun {
    int status;
    std::string out, err;
};

// Runs the cpio tool in `dir` with the archive on its standard input.
ToolRun run_cpio(const ScratchDir &scratch, const std::string &archive, const std::string &args, const fs::path &dir) {
    fs::path input = scratch.path() / "archive.cpio", out = scratch.path() / "out", err = scratch.path() / "err";
    std::ofstream(input, std::ios::binary) << archive;
    std::string command = "cd '" + dir.string() + "' && cpio " + args + " < '" + input.string() + "' > '" +
                          out.string() + "' 2> '" + err.string() + "'";
    int status = std::system(command.c_str());
    return {status, read_file(out), read_file(err)};
}

struct Expected {
    std::string name;
    bool directory;
    unsigned mode;
    std::string data;
};

// Lists and extracts `archive` with the cpio tool and checks what it made of every member.
void check_with_cpio_tool(const std::string &archive, const std::vector<Expected> &expected) {
    ScratchDir scratch;
    ASSERT_FALSE(scratch.path().empty());
    fs::path root = scratch.path() / "root";
    fs::create_directory(root);

    ToolRun list = run_cpio(scratch, archive, "-i -t --quiet", root);
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.err, "");
    std::string names;
    for (const Expected &e : expected)
        names += e.name + "\n";
    EXPECT_EQ(list.out, names);

    ToolRun extract = run_cpio(scratch, archive, "-i -d -m --quiet --no-absolute-filenames", root);
    ASSERT_EQ(extract.status, 0) << extract.err;
    EXPECT_EQ(extract.err, "");
    for (const Expected &e : expected) {
        SCOPED_TRACE(e.name);
        struct stat st = {};
        ASSERT_EQ(lstat((root / e.name).c_str(), &st), 0);
        EXPECT_EQ(bool(S_ISDIR(st.st_mode)), e.directory);
        EXPECT_EQ(bool(S_ISREG(st.st_mode)), !e.directory);
        EXPECT_EQ(st.st_mode & 07777, e.mode);
        if (e.directory)
            continue;
        EXPECT_EQ(size_t(st.st_size), e.data.size());
        EXPECT_EQ(st.st_mtime, 0);
        EXPECT_EQ(read_file(root / e.name), e.data);
    }
}

} // namespace

TEST_F(CpioTest, CpioToolExtractsADirectoryArchive) {
    if (!have_cpio_tool())
        GTEST_SKIP() << "the cpio tool is not installed (Debian package cpio): extraction not checked";
    std::vector<Expected> expected = {
        {".extra", true, 0555, ""},
        {".extra/credentials", true, 0500, ""},
    };
    ASSERT_EQ(leading_dirs(".extra/credentials", 0500), EFI_SUCCESS);
    const char16_t *names[] = {u"a.cred", u"bb.cred", u"ccc.cred", u"dddd.cred", u"e"};
    for (unsigned i = 0; i < 5; i++) {
        std::string contents = contents_of(i == 1 ? 0 : 997 * i + 3, i);
        ASSERT_EQ(file(names[i], contents, ".extra/credentials", 0400), EFI_SUCCESS);
        expected.push_back({".extra/credentials/" + fakefw::to_utf8(names[i]), false, 0400, contents});
    }
    append_cpio_trailer(&buffer, &size);
    ASSERT_EQ(parsed().error, "");
    check_with_cpio_tool(bytes(), expected);
}

TEST_F(CpioTest, CpioToolExtractsALiteralArchive) {
    if (!have_cpio_tool())
        GTEST_SKIP() << "the cpio tool is not installed (Debian package cpio): extraction not checked";
    std::string osrel = "ID=korvane\nVERSION_ID=1\n";
    iovec archive = {};
    ASSERT_EQ(pack_cpio_literal(osrel.data(), osrel.size(), ".extra", u"os-release", 0555, 0444, &archive),
              EFI_SUCCESS);
    buffer = archive.iov_base;
    size = archive.iov_len;
    check_with_cpio_tool(bytes(), {{".extra", true, 0555, ""}, {".extra/os-release", false, 0444, osrel}});
}
