#include "linux_x86.h"

#include "firmware.h"
#include "log.h"

namespace korvane {

namespace {

// The real-mode kernel header (Linux x86 boot protocol, "The Real-Mode Kernel Header"), at
// 0x1F1 both in the kernel image and in the boot parameters.
struct __attribute__((packed)) SetupHeader {
    uint8_t setup_sects;
    uint16_t root_flags;
    uint32_t syssize;
    uint16_t ram_size;
    uint16_t vid_mode;
    uint16_t root_dev;
    uint16_t boot_flag;
    uint16_t jump;
    uint32_t header;
    uint16_t version;
    uint32_t realmode_swtch;
    uint16_t start_sys_seg;
    uint16_t kernel_version;
    uint8_t type_of_loader;
    uint8_t loadflags;
    uint16_t setup_move_size;
    uint32_t code32_start;
    uint32_t ramdisk_image;
    uint32_t ramdisk_size;
    uint32_t bootsect_kludge;
    uint16_t heap_end_ptr;
    uint8_t ext_loader_ver;
    uint8_t ext_loader_type;
    uint32_t cmd_line_ptr;
    uint32_t initrd_addr_max;
    uint32_t kernel_alignment;
    uint8_t relocatable_kernel;
    uint8_t min_alignment;
    uint16_t xloadflags;
    uint32_t cmdline_size;
    uint32_t hardware_subarch;
    uint64_t hardware_subarch_data;
    uint32_t payload_offset;
    uint32_t payload_length;
    uint64_t setup_data;
    uint64_t pref_address;
    uint32_t init_size;
    uint32_t handover_offset;
    uint32_t kernel_info_offset;
};

constexpr size_t SETUP_HEADER_OFFSET = 0x1F1;
#define SETUP_AT(field, offset) static_assert(offsetof(SetupHeader, field) + SETUP_HEADER_OFFSET == (offset))
SETUP_AT(boot_flag, 0x1FE);
SETUP_AT(jump, 0x200);
SETUP_AT(header, 0x202);
SETUP_AT(version, 0x206);
SETUP_AT(type_of_loader, 0x210);
SETUP_AT(code32_start, 0x214);
SETUP_AT(ramdisk_image, 0x218);
SETUP_AT(ramdisk_size, 0x21C);
SETUP_AT(cmd_line_ptr, 0x228);
SETUP_AT(relocatable_kernel, 0x234);
SETUP_AT(xloadflags, 0x236);
SETUP_AT(cmdline_size, 0x238);
SETUP_AT(pref_address, 0x258);
SETUP_AT(handover_offset, 0x264);
SETUP_AT(kernel_info_offset, 0x268);
#undef SETUP_AT
static_assert(sizeof(SetupHeader) == 0x26C - SETUP_HEADER_OFFSET);

// The zero page (Linux x86 boot protocol, "The Zero Page"); only the members this loader
// writes are named, the rest stays zero.
struct __attribute__((packed)) BootParams {
    uint8_t screen_info_to_olpc_ofw_header[0xC0];
    uint32_t ext_ramdisk_image;
    uint32_t ext_ramdisk_size;
    uint32_t ext_cmd_line_ptr;
    uint8_t pad_to_hdr[SETUP_HEADER_OFFSET - 0xCC];
    SetupHeader hdr;
    uint8_t edd_and_e820_tables[EFI_PAGE_SIZE - 0x26C];
};
static_assert(offsetof(BootParams, ext_ramdisk_image) == 0xC0);
static_assert(offsetof(BootParams, ext_ramdisk_size) == 0xC4);
static_assert(offsetof(BootParams, ext_cmd_line_ptr) == 0xC8);
static_assert(offsetof(BootParams, hdr) == SETUP_HEADER_OFFSET);
static_assert(sizeof(BootParams) == EFI_PAGE_SIZE);

constexpr uint32_t SETUP_MAGIC = 0x53726448; // "HdrS"
constexpr uint16_t BOOT_FLAG = 0xAA55;
constexpr uint16_t VERSION_2_11 = 0x020B;
constexpr uint16_t XLF_CAN_BE_LOADED_ABOVE_4G = 1 << 1;
constexpr uint16_t XLF_EFI_HANDOVER_64 = 1 << 3;
constexpr uint8_t LOADER_UNDEFINED = 0xFF;
constexpr uint8_t DEFAULT_SETUP_SECTS = 4;
constexpr size_t SECTOR_SIZE = 512;
constexpr size_t MIN_KERNEL_SIZE = 4096;
// The 64-bit entry lies this far past the 32-bit one.
constexpr size_t HANDOVER_64_OFFSET = 0x200;
constexpr EFI_PHYSICAL_ADDRESS BELOW_4G = 0xFFFFFFFF;
constexpr uint64_t FOUR_GIB = uint64_t{1} << 32;

// The kernel's handover entry follows the System V calling convention, not the UEFI one.
using HandoverEntry = void(__attribute__((sysv_abi)) *)(EFI_HANDLE, EFI_SYSTEM_TABLE *, BootParams *);

uint32_t low32(uint64_t v) { return static_cast<uint32_t>(v); }
uint32_t high32(uint64_t v) { return static_cast<uint32_t>(v >> 32); }
uint64_t address_of(const void *p) { return reinterpret_cast<uintptr_t>(p); }
bool reaches_4g(const iovec &v) { return address_of(v.iov_base) + v.iov_len >= FOUR_GIB; }

// The checks on the kernel's setup header, in order; sets whether it may live above 4 GiB.
EFI_STATUS check_setup_header(const SetupHeader &h, bool *ret_can_4g) {
    if (h.header != SETUP_MAGIC || h.boot_flag != BOOT_FLAG)
        return log_error(EFI_UNSUPPORTED, "Unsupported kernel image.");
    if (h.version < VERSION_2_11)
        return log_error(EFI_UNSUPPORTED, "Kernel too old.");
    if (h.relocatable_kernel == 0)
        return log_error(EFI_UNSUPPORTED, "Kernel is not relocatable.");
    if (h.version == VERSION_2_11) {
        *ret_can_4g = false;
        return EFI_SUCCESS;
    }
    if (!(h.xloadflags & XLF_EFI_HANDOVER_64))
        return log_error(EFI_UNSUPPORTED, "Kernel does not support EFI handover protocol.");
    *ret_can_4g = (h.xloadflags & XLF_CAN_BE_LOADED_ABOVE_4G) != 0;
    return EFI_SUCCESS;
}

// The kernel runs in place unless it reaches 4 GiB or needs more room than its buffer.
Pages place_kernel(const iovec &kernel, size_t size_in_memory) {
    if (!reaches_4g(kernel) && kernel.iov_len >= size_in_memory)
        return {};
    size_t size = kernel.iov_len > size_in_memory ? kernel.iov_len : size_in_memory;
    Pages copy(xmalloc_pages(AllocateMaxAddress, EfiLoaderCode, efi_size_to_pages(size), BELOW_4G));
    memcpy(copy.ptr(), kernel.iov_base, kernel.iov_len);
    if (size_in_memory > kernel.iov_len)
        memset(copy.ptr<uint8_t>() + kernel.iov_len, 0, size_in_memory - kernel.iov_len);
    return copy;
}

// The initrd's size comes from the ESP (credentials, add-ons): no room below 4 GiB for it
// ends the launch with a status instead of halting.
EFI_STATUS place_initrd(const iovec &initrd, bool can_4g, Pages *ret) {
    if (can_4g || !iovec_is_set(initrd) || !reaches_4g(initrd))
        return EFI_SUCCESS;
    Pages copy(try_malloc_pages(AllocateMaxAddress, EfiLoaderData, efi_size_to_pages(initrd.iov_len), BELOW_4G));
    if (!copy)
        return log_error(EFI_OUT_OF_RESOURCES, "Failed to allocate memory below 4 GiB for the initrd: %m");
    memcpy(copy.ptr(), initrd.iov_base, initrd.iov_len);
    *ret = move(copy);
    return EFI_SUCCESS;
}

Pages allocate_boot_params(const uint8_t *image, bool can_4g) {
    Pages page(can_4g ? xmalloc_pages(AllocateAnyPages, EfiLoaderData, 1, 0)
                      : xmalloc_pages(AllocateMaxAddress, EfiLoaderData, 1, BELOW_4G));
    auto *params = page.ptr<BootParams>();
    memset(params, 0, sizeof(*params));

    // The header runs to the end of the jump instruction's target, a byte at 0x201.
    size_t header_end = 0x202 + image[0x201];
    memcpy(reinterpret_cast<uint8_t *>(params) + SETUP_HEADER_OFFSET, image + SETUP_HEADER_OFFSET,
           header_end - SETUP_HEADER_OFFSET);
    params->hdr.type_of_loader = LOADER_UNDEFINED;
    if (params->hdr.setup_sects == 0)
        params->hdr.setup_sects = DEFAULT_SETUP_SECTS;
    return page;
}

// The kernel takes an 8-bit command line: anything beyond 7-bit ASCII becomes a blank.
Pages place_cmdline(const char16_t *cmdline, uint32_t cmdline_size, bool can_4g, BootParams *params) {
    size_t n = str16_len(cmdline);
    if (n > cmdline_size)
        n = cmdline_size;
    size_t n_pages = n / EFI_PAGE_SIZE + 1;
    PageAllocation cmdline_pages = can_4g ? xmalloc_pages(AllocateAnyPages, EfiLoaderData, n_pages, 0)
                                          : xmalloc_pages(AllocateMaxAddress, EfiLoaderData, n_pages, CMDLINE_PTR_MAX);
    ASSERT(can_4g || cmdline_pages.addr <= CMDLINE_PTR_MAX);
    Pages pages(cmdline_pages);
    char *narrow = pages.ptr<char>();
    for (size_t i = 0; i < n; i++)
        narrow[i] = cmdline[i] < 0x7F ? static_cast<char>(cmdline[i]) : ' ';
    narrow[n] = 0;

    params->hdr.cmd_line_ptr = low32(cmdline_pages.addr);
    params->ext_cmd_line_ptr = high32(cmdline_pages.addr);
    return pages;
}

// Written even for no initrd: the copied header must not pass on whatever the image held.
void set_initrd(const iovec &initrd, BootParams *params) {
    uint64_t addr = iovec_is_set(initrd) ? address_of(initrd.iov_base) : 0;
    params->hdr.ramdisk_image = low32(addr);
    params->ext_ramdisk_image = high32(addr);
    params->hdr.ramdisk_size = low32(initrd.iov_len);
    params->ext_ramdisk_size = high32(initrd.iov_len);
}

} // namespace

EFI_STATUS linux_exec_efi_handover(EFI_HANDLE parent, const char16_t *cmdline, const iovec &kernel,
                                   const iovec &initrd, size_t kernel_size_in_memory) {
    ASSERT(iovec_is_set(kernel));
    ASSERT(iovec_is_valid(initrd));

    if (kernel.iov_len < MIN_KERNEL_SIZE)
        return EFI_LOAD_ERROR;
    auto *image = static_cast<const uint8_t *>(kernel.iov_base);
    SetupHeader image_header;
    memcpy(&image_header, image + SETUP_HEADER_OFFSET, sizeof(image_header));
    bool can_4g = false;
    EFI_STATUS err = check_setup_header(image_header, &can_4g);
    if (err != EFI_SUCCESS)
        return err;

    Pages kernel_copy = place_kernel(kernel, kernel_size_in_memory);
    uint8_t *kernel_start = kernel_copy ? kernel_copy.ptr<uint8_t>() : static_cast<uint8_t *>(kernel.iov_base);
    Pages initrd_copy;
    err = place_initrd(initrd, can_4g, &initrd_copy);
    if (err != EFI_SUCCESS)
        return err;
    iovec placed_initrd = initrd_copy ? iovec{initrd_copy.ptr(), initrd.iov_len} : initrd;

    Pages params_page = allocate_boot_params(image, can_4g);
    auto *params = params_page.ptr<BootParams>();
    // Without a command line the copied header's pointer must not reach the kernel either.
    params->hdr.cmd_line_ptr = 0;
    Pages cmdline_pages;
    if (cmdline)
        cmdline_pages = place_cmdline(cmdline, image_header.cmdline_size, can_4g, params);
    set_initrd(placed_initrd, params);

    log_stall();

    uint8_t *protected_mode_kernel = kernel_start + (params->hdr.setup_sects + 1) * SECTOR_SIZE;
    params->hdr.code32_start = low32(address_of(protected_mode_kernel));
    auto entry = reinterpret_cast<HandoverEntry>(protected_mode_kernel + HANDOVER_64_OFFSET +
                                                 params->hdr.handover_offset);
    entry(parent, ST, params);
    return EFI_LOAD_ERROR;
}

} // namespace korvane
