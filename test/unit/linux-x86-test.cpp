// Starting a kernel through the 64-bit EFI handover entry. The fake kernel carries, at its
// handover entry, real machine code that jumps to a recorder here, so the stub's computation of
// the entry, its calling convention and the memory it hands over are all exercised.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "boot/firmware.h"
#include "boot/linux_x86.h"
#include "boot/log.h"
#include "fakefw/fakefw.h"

using fakefw::Firmware;
using fakefw::PageBlock;
using fakefw::Service;
using korvane::linux_exec_efi_handover;

namespace {

constexpr uint64_t FOUR_GIB = uint64_t{1} << 32;
constexpr size_t PAGE = 4096;
constexpr size_t SECTOR = 512;
constexpr uint16_t XLF_CAN_BE_LOADED_ABOVE_4G = 0x2, XLF_EFI_HANDOVER_64 = 0x8;

// Offsets of the Linux x86 boot protocol (zero page and setup header).
enum : size_t {
    EXT_RAMDISK_IMAGE = 0x0C0,
    EXT_RAMDISK_SIZE = 0x0C4,
    EXT_CMD_LINE_PTR = 0x0C8,
    SETUP_SECTS = 0x1F1,
    BOOT_FLAG = 0x1FE,
    JUMP_TARGET = 0x201,
    HEADER = 0x202,
    VERSION = 0x206,
    TYPE_OF_LOADER = 0x210,
    CODE32_START = 0x214,
    RAMDISK_IMAGE = 0x218,
    RAMDISK_SIZE = 0x21C,
    CMD_LINE_PTR = 0x228,
    RELOCATABLE_KERNEL = 0x234,
    XLOADFLAGS = 0x236,
    CMDLINE_SIZE = 0x238,
    HANDOVER_OFFSET = 0x264,
};

uint32_t get32(const uint8_t *p, size_t at) {
    uint32_t v;
    memcpy(&v, p + at, 4);
    return v;
}
template <typename T> void put(std::vector<uint8_t> &v, size_t at, T x) { memcpy(v.data() + at, &x, sizeof(x)); }

struct KernelSpec {
    size_t size = 3 * PAGE;
    uint8_t setup_sects = 1;
    uint32_t header = 0x53726448;
    uint16_t boot_flag = 0xAA55;
    uint16_t version = 0x020F;
    uint8_t relocatable = 1;
    uint16_t xloadflags = XLF_EFI_HANDOVER_64 | XLF_CAN_BE_LOADED_ABOVE_4G;
    uint32_t cmdline_size = 2047;
    uint32_t handover_offset = 0x190;
    uint8_t jump_target = 0x6A; // the header ends at 0x26C, as in current kernels
};

__attribute__((sysv_abi)) void record_handover(EFI_HANDLE parent, EFI_SYSTEM_TABLE *st, uint8_t *params);

// A kernel image: a byte pattern, the setup header fields of `spec`, and at the handover entry
// "movabs rax, record_handover; jmp rax".
std::vector<uint8_t> kernel_image(const KernelSpec &spec) {
    std::vector<uint8_t> v(spec.size);
    for (size_t i = 0; i < v.size(); i++)
        v[i] = static_cast<uint8_t>(i * 13 + 5);
    if (v.size() < PAGE)
        return v;
    put(v, SETUP_SECTS, spec.setup_sects);
    put(v, BOOT_FLAG, spec.boot_flag);
    put(v, JUMP_TARGET, spec.jump_target);
    put(v, HEADER, spec.header);
    put(v, VERSION, spec.version);
    put(v, RELOCATABLE_KERNEL, spec.relocatable);
    put(v, XLOADFLAGS, spec.xloadflags);
    put(v, CMDLINE_SIZE, spec.cmdline_size);
    put(v, HANDOVER_OFFSET, spec.handover_offset);
    size_t sects = spec.setup_sects ? spec.setup_sects : 4;
    size_t entry = (sects + 1) * SECTOR + 0x200 + spec.handover_offset;
    if (entry + 12 <= v.size()) {
        v[entry] = 0x48;
        v[entry + 1] = 0xB8;
        put(v, entry + 2, reinterpret_cast<uint64_t>(&record_handover));
        v[entry + 10] = 0xFF;
        v[entry + 11] = 0xE0;
    }
    return v;
}

// Host memory the kernel can run from; `flags` choose where it lies.
class HostBuffer {
public:
    HostBuffer(const std::vector<uint8_t> &bytes, int flags) : size_(bytes.size()) {
        p_ = mmap(nullptr, size_, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS | flags, -1, 0);
        if (p_ == MAP_FAILED) {
            ADD_FAILURE() << "cannot map the test buffer";
            p_ = nullptr;
            return;
        }
        memcpy(p_, bytes.data(), size_);
    }
    ~HostBuffer() {
        if (p_)
            munmap(p_, size_);
    }
    HostBuffer(const HostBuffer &) = delete;
    HostBuffer &operator=(const HostBuffer &) = delete;
    korvane::iovec io() const { return {p_, size_}; }
    uint64_t addr() const { return reinterpret_cast<uintptr_t>(p_); }

private:
    void *p_;
    size_t size_;
};

// What the kernel found when its handover entry was called.
struct Seen {
    unsigned calls = 0;
    EFI_HANDLE parent = nullptr;
    EFI_SYSTEM_TABLE *st = nullptr;
    uint64_t params_addr = 0;
    std::vector<uint8_t> params;
    std::optional<PageBlock> params_block;
    uint64_t cmdline_addr = 0;
    std::string cmdline;
    std::optional<PageBlock> cmdline_block;
    uint64_t initrd_addr = 0;
    std::vector<uint8_t> initrd;
    std::optional<PageBlock> initrd_block;
    uint64_t kernel_addr = 0;
    std::vector<uint8_t> kernel; // kernel_snapshot bytes from the kernel's start
    std::optional<PageBlock> kernel_block;
    size_t live_pages = 0;
    uint32_t logged_count = 0;
};
Seen seen;
size_t kernel_snapshot = 0;

std::optional<PageBlock> block_at(uint64_t addr) {
    const PageBlock *b = Firmware::active().memory().pages(addr);
    return b ? std::optional<PageBlock>(*b) : std::nullopt;
}

__attribute__((sysv_abi)) void record_handover(EFI_HANDLE parent, EFI_SYSTEM_TABLE *st, uint8_t *params) {
    seen.calls++;
    seen.parent = parent;
    seen.st = st;
    seen.params_addr = reinterpret_cast<uintptr_t>(params);
    seen.params.assign(params, params + PAGE);
    seen.params_block = block_at(seen.params_addr);
    seen.cmdline_addr = get32(params, CMD_LINE_PTR) | uint64_t{get32(params, EXT_CMD_LINE_PTR)} << 32;
    if (seen.cmdline_addr) {
        seen.cmdline = reinterpret_cast<const char *>(seen.cmdline_addr);
        seen.cmdline_block = block_at(seen.cmdline_addr);
    }
    seen.initrd_addr = get32(params, RAMDISK_IMAGE) | uint64_t{get32(params, EXT_RAMDISK_IMAGE)} << 32;
    uint64_t initrd_size = get32(params, RAMDISK_SIZE) | uint64_t{get32(params, EXT_RAMDISK_SIZE)} << 32;
    if (seen.initrd_addr) {
        auto *p = reinterpret_cast<const uint8_t *>(seen.initrd_addr);
        seen.initrd.assign(p, p + initrd_size);
        seen.initrd_block = block_at(seen.initrd_addr);
    }
    seen.kernel_addr = get32(params, CODE32_START) - (params[SETUP_SECTS] + 1) * SECTOR;
    auto *k = reinterpret_cast<const uint8_t *>(seen.kernel_addr);
    seen.kernel.assign(k, k + kernel_snapshot);
    seen.kernel_block = block_at(seen.kernel_addr);
    seen.live_pages = Firmware::active().memory().live_pages_count();
    seen.logged_count = korvane::logged_count;
}

EFI_HANDLE const PARENT = reinterpret_cast<EFI_HANDLE>(0x5a5a0000);

class Handover : public ::testing::Test {
protected:
    void SetUp() override {
        seen = Seen{};
        kernel_snapshot = 0;
    }
    // Runs the launch; the entry must be reached, return, and leave nothing allocated.
    void launch(const korvane::iovec &kernel, size_t size_in_memory, const char16_t *cmdline, const korvane::iovec &initrd) {
        kernel_snapshot = size_in_memory;
        EXPECT_EQ(linux_exec_efi_handover(PARENT, cmdline, kernel, initrd, size_in_memory), EFI_LOAD_ERROR);
        ASSERT_EQ(seen.calls, 1u);
        EXPECT_EQ(seen.parent, PARENT);
        EXPECT_EQ(seen.st, fw.system_table());
        EXPECT_EQ(fw.memory().live_pages_count(), 0u);
        EXPECT_EQ(fw.console().text(), "") << "a returning kernel is not reported";
    }
    static korvane::iovec none() { return {nullptr, 0}; }

    Firmware fw;
};

// The checks run in a fixed order and report only the first failure; none allocates.
TEST_F(Handover, UnusableKernelsAreRefusedInOrder) {
    struct Case {
        const char *name;
        KernelSpec spec;
        EFI_STATUS status;
        const char *message;
    };
    auto spec = [](auto change) {
        KernelSpec s;
        change(s);
        return s;
    };
    const std::vector<Case> cases = {
        {"4095 bytes", spec([](KernelSpec &s) { s.size = 4095; }), EFI_LOAD_ERROR, nullptr},
        {"no HdrS", spec([](KernelSpec &s) { s.size = 4096, s.header = 0x53726449; }), EFI_UNSUPPORTED,
         "Unsupported kernel image."},
        {"no boot flag", spec([](KernelSpec &s) { s.boot_flag = 0x55AA; }), EFI_UNSUPPORTED,
         "Unsupported kernel image."},
        {"2.10", spec([](KernelSpec &s) { s.version = 0x020A; }), EFI_UNSUPPORTED, "Kernel too old."},
        {"not relocatable", spec([](KernelSpec &s) { s.relocatable = 0; }), EFI_UNSUPPORTED,
         "Kernel is not relocatable."},
        {"2.12 without handover", spec([](KernelSpec &s) { s.version = 0x020C, s.xloadflags = 0x7; }),
         EFI_UNSUPPORTED, "Kernel does not support EFI handover protocol."},
        {"bad magic and old", spec([](KernelSpec &s) { s.header = 0, s.version = 0x0200, s.relocatable = 0; }),
         EFI_UNSUPPORTED, "Unsupported kernel image."},
        {"old and not relocatable",
         spec([](KernelSpec &s) { s.version = 0x020A, s.relocatable = 0, s.xloadflags = 0; }), EFI_UNSUPPORTED,
         "Kernel too old."},
        {"not relocatable, no handover", spec([](KernelSpec &s) { s.relocatable = 0, s.xloadflags = 0; }),
         EFI_UNSUPPORTED, "Kernel is not relocatable."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> image = kernel_image(c.spec);
        korvane::logged_count = 0;
        std::string before = fw.console().text();
        EXPECT_EQ(linux_exec_efi_handover(PARENT, u"x", {image.data(), image.size()}, none(), image.size()),
                  c.status);
        std::string logged = fw.console().text().substr(before.size());
        if (c.message) {
            EXPECT_EQ(korvane::logged_count, 1u);
            EXPECT_NE(logged.find(std::string("@check_setup_header: ") + c.message + "\n"), std::string::npos)
                << logged;
        } else {
            EXPECT_EQ(logged, "");
        }
    }
    EXPECT_EQ(fw.calls(Service::AllocatePages), 0u);
    EXPECT_EQ(seen.calls, 0u);
}

// A kernel that may live anywhere: it runs in place, the initrd stays above 4 GiB, and the
// boot parameters carry the copied setup header and the addresses.
TEST_F(Handover, BootParametersOfAKernelThatCanLiveAbove4G) {
    KernelSpec spec;
    std::vector<uint8_t> image = kernel_image(spec);
    HostBuffer kernel(image, MAP_32BIT);
    std::vector<uint8_t> initrd_bytes(10000);
    for (size_t i = 0; i < initrd_bytes.size(); i++)
        initrd_bytes[i] = static_cast<uint8_t>(i ^ 0x3c);
    HostBuffer initrd(initrd_bytes, 0);
    ASSERT_GE(initrd.addr(), FOUR_GIB);
    korvane::logged_count = 1; // pending messages: the launch pauses for them first

    launch(kernel.io(), image.size(), u"root=/dev/sda quiet", initrd.io());
    const std::vector<uint8_t> &p = seen.params;
    ASSERT_EQ(p.size(), PAGE);

    EXPECT_EQ(seen.logged_count, 0u);
    EXPECT_EQ(seen.kernel_addr, kernel.addr()) << "runs in place";
    EXPECT_EQ(get32(p.data(), CODE32_START), kernel.addr() + 2 * SECTOR);
    EXPECT_EQ(p[TYPE_OF_LOADER], 0xFF);
    ASSERT_TRUE(seen.params_block);
    EXPECT_EQ(seen.params_block->n_pages, 1u);
    EXPECT_EQ(seen.params_block->type, EfiLoaderData);

    EXPECT_EQ(seen.initrd_addr, initrd.addr());
    EXPECT_EQ(get32(p.data(), EXT_RAMDISK_IMAGE), initrd.addr() >> 32);
    EXPECT_EQ(get32(p.data(), RAMDISK_SIZE), initrd_bytes.size());
    EXPECT_EQ(get32(p.data(), EXT_RAMDISK_SIZE), 0u);
    EXPECT_EQ(seen.initrd, initrd_bytes);

    EXPECT_EQ(seen.cmdline, "root=/dev/sda quiet");
    EXPECT_EQ(get32(p.data(), EXT_CMD_LINE_PTR), seen.cmdline_addr >> 32);
    ASSERT_TRUE(seen.cmdline_block);
    EXPECT_EQ(seen.cmdline_block->type, EfiLoaderData);

    // The setup header is copied from 0x1F1 to the end of the jump target, 0x26C; the loader
    // writes only its own fields; everything else is zero.
    auto written = [](size_t at) {
        return at == TYPE_OF_LOADER || (at >= CODE32_START && at < CODE32_START + 12) ||
               (at >= CMD_LINE_PTR && at < CMD_LINE_PTR + 4) || (at >= EXT_RAMDISK_IMAGE && at < EXT_RAMDISK_IMAGE + 12);
    };
    for (size_t at = 0; at < PAGE; at++) {
        if (written(at))
            continue;
        uint8_t expected = at >= SETUP_SECTS && at < 0x26C ? image[at] : 0;
        ASSERT_EQ(p[at], expected) << "at 0x" << std::hex << at;
    }
}

// A 2.11 kernel keeps everything below 4 GiB: an initrd above is copied down, the command
// line goes below 640 KiB.
TEST_F(Handover, A211KernelGetsEverythingBelow4G) {
    KernelSpec spec;
    spec.version = 0x020B;
    spec.xloadflags = 0; // not looked at before 2.12
    std::vector<uint8_t> image = kernel_image(spec);
    HostBuffer kernel(image, MAP_32BIT);
    std::vector<uint8_t> initrd_bytes(5000, 0x77);
    initrd_bytes[4999] = 0x11;
    HostBuffer initrd(initrd_bytes, 0);
    ASSERT_GE(initrd.addr(), FOUR_GIB);

    launch(kernel.io(), image.size(), u"quiet", initrd.io());
    EXPECT_LT(seen.params_addr + PAGE, FOUR_GIB + 1);
    EXPECT_NE(seen.initrd_addr, initrd.addr());
    EXPECT_LT(seen.initrd_addr + initrd_bytes.size(), FOUR_GIB + 1);
    EXPECT_EQ(get32(seen.params.data(), EXT_RAMDISK_IMAGE), 0u);
    EXPECT_EQ(seen.initrd, initrd_bytes);
    ASSERT_TRUE(seen.initrd_block);
    EXPECT_EQ(seen.initrd_block->type, EfiLoaderData);
    EXPECT_EQ(seen.initrd_block->n_pages, 2u);
    EXPECT_LE(seen.cmdline_addr, korvane::CMDLINE_PTR_MAX);
    EXPECT_EQ(get32(seen.params.data(), EXT_CMD_LINE_PTR), 0u);
    EXPECT_EQ(seen.cmdline, "quiet");
}

// The kernel is copied below 4 GiB when its buffer reaches 4 GiB or is shorter than its size
// in memory; the copy's tail is zeroed up to that size.
TEST_F(Handover, KernelCopies) {
    KernelSpec spec;
    std::vector<uint8_t> image = kernel_image(spec);
    {
        SCOPED_TRACE("above 4 GiB");
        HostBuffer kernel(image, 0);
        ASSERT_GE(kernel.addr(), FOUR_GIB);
        launch(kernel.io(), image.size(), nullptr, none());
        EXPECT_LT(seen.kernel_addr + image.size(), FOUR_GIB);
        EXPECT_EQ(seen.kernel, image);
        ASSERT_TRUE(seen.kernel_block);
        EXPECT_EQ(seen.kernel_block->type, EfiLoaderCode);
        EXPECT_EQ(seen.kernel_block->n_pages, 3u);
    }
    {
        SCOPED_TRACE("shorter than its size in memory");
        seen = Seen{};
        HostBuffer kernel(image, MAP_32BIT);
        size_t size_in_memory = image.size() + PAGE + 100;
        launch(kernel.io(), size_in_memory, nullptr, none());
        EXPECT_NE(seen.kernel_addr, kernel.addr());
        std::vector<uint8_t> expected = image;
        expected.resize(size_in_memory, 0);
        EXPECT_EQ(seen.kernel, expected);
        ASSERT_TRUE(seen.kernel_block);
        EXPECT_EQ(seen.kernel_block->n_pages, 5u);
    }
}

// The image's header holds non-zero bytes in the pointer fields; none of them reaches the kernel.
TEST_F(Handover, NoCommandLineAndNoInitrdLeaveTheirFieldsZero) {
    KernelSpec spec;
    spec.version = 0x020B;
    std::vector<uint8_t> image = kernel_image(spec);
    ASSERT_NE(get32(image.data(), CMD_LINE_PTR), 0u);
    ASSERT_NE(get32(image.data(), RAMDISK_IMAGE), 0u);
    HostBuffer kernel(image, MAP_32BIT);
    uint8_t byte = 0;
    for (korvane::iovec initrd : {none(), korvane::iovec{&byte, 0}}) {
        seen = Seen{};
        launch(kernel.io(), image.size(), nullptr, initrd);
        for (size_t at : {size_t{CMD_LINE_PTR}, size_t{EXT_CMD_LINE_PTR}, size_t{RAMDISK_IMAGE}, size_t{RAMDISK_SIZE},
                          size_t{EXT_RAMDISK_IMAGE}, size_t{EXT_RAMDISK_SIZE}})
            EXPECT_EQ(get32(seen.params.data(), at), 0u) << std::hex << at;
        EXPECT_EQ(seen.live_pages, 1u) << "only the boot parameters";
    }
}

TEST_F(Handover, SetupSectsZeroMeansFour) {
    KernelSpec spec;
    spec.setup_sects = 0;
    spec.size = 4 * PAGE;
    std::vector<uint8_t> image = kernel_image(spec);
    HostBuffer kernel(image, MAP_32BIT);
    launch(kernel.io(), image.size(), nullptr, none());
    EXPECT_EQ(seen.params[SETUP_SECTS], 4);
    EXPECT_EQ(get32(seen.params.data(), CODE32_START), kernel.addr() + 5 * SECTOR);
}

TEST_F(Handover, SetupHeaderEndsWhereTheJumpPoints) {
    KernelSpec spec;
    spec.jump_target = 0x90; // a longer header, up to 0x292
    std::vector<uint8_t> image = kernel_image(spec);
    HostBuffer kernel(image, MAP_32BIT);
    launch(kernel.io(), image.size(), nullptr, none());
    EXPECT_EQ(seen.params[0x291], image[0x291]);
    EXPECT_NE(image[0x292], 0);
    EXPECT_EQ(seen.params[0x292], 0);
}

TEST_F(Handover, CommandLineIsCutAndNarrowed) {
    struct Case {
        const char *name;
        uint32_t cmdline_size;
        std::u16string cmdline;
        std::string expected;
        size_t pages;
    };
    const std::vector<Case> cases = {
        {"cut", 5, u"console=ttyS0", "conso", 1},
        {"narrowed", 100, u"a\u00e9b\x7f" u"c\td\u20ac", "a b c\td ", 1},
        {"4095", 8192, std::u16string(4095, u'x'), std::string(4095, 'x'), 1},
        {"4096", 8192, std::u16string(4096, u'y'), std::string(4096, 'y'), 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        seen = Seen{};
        KernelSpec spec;
        spec.version = 0x020B;
        spec.cmdline_size = c.cmdline_size;
        std::vector<uint8_t> image = kernel_image(spec);
        HostBuffer kernel(image, MAP_32BIT);
        launch(kernel.io(), image.size(), c.cmdline.c_str(), none());
        EXPECT_EQ(seen.cmdline, c.expected);
        ASSERT_TRUE(seen.cmdline_block);
        EXPECT_EQ(seen.cmdline_block->n_pages, c.pages);
        EXPECT_LE(seen.cmdline_addr, korvane::CMDLINE_PTR_MAX);
    }
}

TEST_F(Handover, EmptyInitrdNeverMoves) {
    KernelSpec spec;
    spec.version = 0x020B;
    std::vector<uint8_t> image = kernel_image(spec);
    HostBuffer kernel(image, MAP_32BIT);
    launch(kernel.io(), image.size(), nullptr, none());
    EXPECT_EQ(seen.initrd_addr, 0u);
    EXPECT_EQ(fw.calls(Service::AllocatePages), 1u);
}

TEST_F(Handover, NoRoomBelow4GForTheInitrdEndsTheLaunch) {
    KernelSpec spec;
    spec.version = 0x020B;
    spec.xloadflags = 0;
    std::vector<uint8_t> image = kernel_image(spec);
    HostBuffer kernel(image, MAP_32BIT);
    HostBuffer initrd(std::vector<uint8_t>(5000, 0x77), 0);
    ASSERT_GE(initrd.addr(), FOUR_GIB);
    fw.memory().limit_allocations(PAGE);
    EXPECT_EQ(linux_exec_efi_handover(PARENT, nullptr, kernel.io(), initrd.io(), image.size()), EFI_OUT_OF_RESOURCES);
    EXPECT_NE(fw.console().text().find("Failed to allocate memory below 4 GiB for the initrd: Out of resources"),
              std::string::npos);
    EXPECT_EQ(seen.calls, 0u);
}

TEST_F(Handover, AFailedAllocationHalts) {
    KernelSpec spec;
    std::vector<uint8_t> image = kernel_image(spec);
    HostBuffer kernel(image, MAP_32BIT);
    fw.fail(Service::AllocatePages, EFI_OUT_OF_RESOURCES);
    std::string text = fakefw::expect_halt(
        [&] { linux_exec_efi_handover(PARENT, nullptr, kernel.io(), none(), image.size()); });
    EXPECT_NE(text.find("Assertion 'BS->AllocatePages(type, memory_type, n_pages, &addr) == EFI_SUCCESS' failed"),
              std::string::npos)
        << text;
    EXPECT_EQ(seen.calls, 0u);
}

} // namespace
