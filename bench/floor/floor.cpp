// The floor of the boot-path benchmark: an EFI application that, placed in front of a unified
// kernel image instead of the stub, does only what such a boot needs the firmware for, each
// once: the TCG2 measurements of the same bytes with the same event sizes, reading the sidecar
// and add-on files once, one copy of the combined initrd, LoadImage of the kernel from memory,
// its command line, the initrd on the Linux initrd media device path, StartImage. No variables,
// no random seed, no devicetree, no SMBIOS, no Secure Boot checks, no messages.
//
// It handles the layout the benchmark builds: sections of the image, "*.cred", "*.raw" and
// "*.addon.efi" files in the image's ".extra.d" directory. Any failure ends the run.
#include "../../test/vm/debug-exit.h"
#include "boot/efi/device-path.h"
#include "boot/efi/load-file.h"
#include "boot/efi/loaded-image.h"
#include "boot/efi/tcg2.h"
#include "boot/file-util.h"
#include "boot/firmware.h"
#include "boot/pe.h"
#include "boot/util.h"

namespace korvane::bench {

namespace {

constexpr uint8_t FLOOR_FAILED_EXIT_VALUE = 0x46;
constexpr size_t MAX_FILES = 8;
constexpr size_t MAX_DESCRIPTION = 256;
constexpr uint32_t EV_IPL_TYPE = 13, EV_EVENT_TAG_TYPE = 6;
constexpr uint32_t TAG_INITRD_ADDON_ID = 0x49DFFE0F;

[[noreturn]] void fail() { vmtest::debug_exit(FLOOR_FAILED_EXIT_VALUE); }

void check(EFI_STATUS err) {
    if (err != EFI_SUCCESS)
        fail();
}

size_t align4(size_t n) { return (n + 3) & ~size_t{3}; }

// --- measurements -----------------------------------------------------------------------

EFI_TCG2_PROTOCOL *tcg2 = nullptr;

void find_tpm() {
    EFI_TCG2_PROTOCOL *protocol = nullptr;
    if (BS->LocateProtocol(&EFI_TCG2_PROTOCOL_GUID, nullptr, reinterpret_cast<void **>(&protocol)) != EFI_SUCCESS)
        return;
    EFI_TCG2_BOOT_SERVICE_CAPABILITY capability = {};
    capability.Size = sizeof(capability);
    if (protocol->GetCapability(protocol, &capability) == EFI_SUCCESS && capability.TPMPresentFlag)
        tcg2 = protocol;
}

// One event: the header, an optional tag record, and the description as UTF-16 with its NUL.
void measure(uint32_t pcr, const void *data, size_t size, const char16_t *description, uint32_t tag = 0) {
    if (!tcg2)
        return;
    alignas(8) uint8_t buffer[sizeof(EFI_TCG2_EVENT) + sizeof(TCG_PCClientTaggedEvent) + MAX_DESCRIPTION * 2];
    size_t text = (str16_len(description) + 1) * sizeof(char16_t);
    size_t tagged = tag ? sizeof(TCG_PCClientTaggedEvent) : 0;
    if (text > MAX_DESCRIPTION * 2)
        fail();
    auto *event = reinterpret_cast<EFI_TCG2_EVENT *>(buffer);
    event->Size = static_cast<uint32_t>(sizeof(EFI_TCG2_EVENT) + tagged + text);
    event->Header = {sizeof(EFI_TCG2_EVENT_HEADER), EFI_TCG2_EVENT_HEADER_VERSION, pcr,
                     tag ? EV_EVENT_TAG_TYPE : EV_IPL_TYPE};
    uint8_t *p = event->Event;
    if (tag) {
        auto *record = reinterpret_cast<TCG_PCClientTaggedEvent *>(p);
        record->taggedEventID = tag;
        record->taggedEventDataSize = static_cast<uint32_t>(text);
        p += tagged;
    }
    memcpy(p, description, text);
    check(tcg2->HashLogExtendEvent(tcg2, 0, reinterpret_cast<uintptr_t>(data), size, event));
}

// A section name as the UTF-16 description of its events.
void widen(const char *s, char16_t *out, size_t n) {
    size_t i = 0;
    for (; s[i] && i + 1 < n; i++)
        out[i] = static_cast<unsigned char>(s[i]);
    out[i] = 0;
}

// --- the image's own sections -------------------------------------------------------------

struct Sections {
    PeSectionSpan span[IMAGE_SECTION_COUNT] = {};
    const uint8_t *base = nullptr;
    iovec get(ImageSection kind) const {
        return {const_cast<uint8_t *>(base) + span[kind].mem_offset, span[kind].mem_size};
    }
};

void measure_sections(const Sections &s) {
    for (size_t i = 0; i < IMAGE_SECTION_COUNT; i++) {
        if (i == SECTION_PCRSIG || s.span[i].mem_size == 0)
            continue;
        char16_t name[16];
        widen(image_section_names[i], name, 16);
        measure(11, image_section_names[i], str8_len(image_section_names[i]) + 1, name);
        iovec content = s.get(static_cast<ImageSection>(i));
        measure(11, content.iov_base, content.iov_len, name);
    }
}

// --- the files beside the image -------------------------------------------------------------

struct File {
    char16_t name[256];
    uint64_t size;
};

struct FileGroup {
    File files[MAX_FILES];
    size_t n = 0;

    void add(const EFI_FILE_INFO *info) {
        if (n == MAX_FILES)
            fail();
        File &f = files[n++];
        size_t len = str16_len(info->FileName);
        memcpy(f.name, info->FileName, (len + 1) * sizeof(char16_t));
        f.size = info->FileSize;
    }
    // Code-unit order, as an archive lists them.
    void sort() {
        for (size_t i = 1; i < n; i++)
            for (size_t k = i; k > 0 && str16_compare(files[k - 1].name, files[k].name) > 0; k--) {
                File t = files[k];
                files[k] = files[k - 1];
                files[k - 1] = t;
            }
    }
};

struct Sidecars {
    FileGroup credentials, sysexts, addons;
};

// The image's path with ".extra.d" appended, from the file-path node the loader left.
void extra_dir(const EFI_LOADED_IMAGE_PROTOCOL *image, char16_t *out, size_t n) {
    const EFI_DEVICE_PATH_PROTOCOL *node = image->FilePath;
    if (!node || node->Type != MEDIA_DEVICE_PATH || node->SubType != MEDIA_FILEPATH_DP)
        fail();
    const auto *path = reinterpret_cast<const char16_t *>(reinterpret_cast<const uint8_t *>(node) + 4);
    size_t len = str16_len(path);
    const char16_t suffix[] = u".extra.d";
    if (len + sizeof(suffix) / sizeof(char16_t) > n)
        fail();
    memcpy(out, path, len * sizeof(char16_t));
    memcpy(out + len, suffix, sizeof(suffix));
}

void list_sidecars(EFI_FILE_PROTOCOL *dir, Sidecars *out) {
    PoolPtr<EFI_FILE_INFO> info;
    size_t info_size = 0;
    for (;;) {
        check(readdir(dir, info.inout(), &info_size));
        if (!info)
            break;
        const char16_t *name = info->FileName;
        if (info->Attribute & EFI_FILE_DIRECTORY)
            continue;
        if (endswith_no_case(name, u".cred"))
            out->credentials.add(info.get());
        else if (endswith_no_case(name, u".raw"))
            out->sysexts.add(info.get());
        else if (endswith_no_case(name, u".addon.efi"))
            out->addons.add(info.get());
    }
    out->credentials.sort();
    out->sysexts.sort();
    out->addons.sort();
}

// --- archives --------------------------------------------------------------------------------

constexpr size_t CPIO_HEADER = 110, CPIO_TRAILER = 124;

uint8_t *put_hex(uint8_t *p, uint32_t v) {
    for (int shift = 28; shift >= 0; shift -= 4)
        *p++ = "0123456789abcdef"[(v >> shift) & 0xf];
    return p;
}

// One newc record at `p` (the archive starting at `start`); contents of `size` bytes follow
// it at the returned position, which the caller fills and pads.
uint8_t *put_record(uint8_t *p, const uint8_t *start, uint32_t ino, uint32_t mode, uint32_t size,
                    const char *dir, const char16_t *name) {
    const uint32_t fields[] = {ino, mode, 0, 0, 1, 0, size, 0, 0, 0, 0, 0, 0};
    size_t dir_len = str8_len(dir), name_len = name ? str16_len(name) + 1 : 0;
    uint32_t name_size = static_cast<uint32_t>(dir_len + name_len + 1);
    memcpy(p, "070701", 6);
    p += 6;
    for (uint32_t f : fields)
        p = put_hex(p, f);
    put_hex(p - 16, name_size);
    memcpy(p, dir, dir_len);
    p += dir_len;
    if (name) {
        *p++ = '/';
        for (size_t i = 0; i + 1 < name_len; i++)
            *p++ = static_cast<uint8_t>(name[i]);
    }
    *p++ = 0;
    while ((p - start) % 4)
        *p++ = 0;
    return p;
}

size_t record_size(const char *dir, const char16_t *name, uint64_t size) {
    size_t name_size = str8_len(dir) + (name ? str16_len(name) + 1 : 0) + 1;
    return align4(CPIO_HEADER + name_size) + align4(size);
}

// Pads the contents that end at `p`, then writes the trailer; returns the archive's end.
uint8_t *finish(uint8_t *p, const uint8_t *start) {
    while ((p - start) % 4)
        *p++ = 0;
    return put_record(p, start, 0, 0, 0, "TRAILER!!!", nullptr);
}

// An archive of the group's files below ".extra/<dir>", each read once into its place, measured.
iovec pack(EFI_FILE_PROTOCOL *dir, const FileGroup &group, const char *subdir, uint32_t dir_mode,
           uint32_t file_mode, uint32_t pcr, const char16_t *description) {
    if (group.n == 0)
        return {};
    char path[64] = ".extra/";
    memcpy(path + 7, subdir, str8_len(subdir) + 1);
    size_t total = record_size(".extra", nullptr, 0) + record_size(path, nullptr, 0) + CPIO_TRAILER;
    for (size_t i = 0; i < group.n; i++)
        total += record_size(path, group.files[i].name, group.files[i].size);
    auto *start = static_cast<uint8_t *>(xmalloc(total));
    uint8_t *p = put_record(start, start, 1, 040555, 0, ".extra", nullptr);
    p = put_record(p, start, 2, 040000 | dir_mode, 0, path, nullptr);
    for (size_t i = 0; i < group.n; i++) {
        const File &f = group.files[i];
        p = put_record(p, start, uint32_t(3 + i), 0100000 | file_mode, uint32_t(f.size), path, f.name);
        size_t n = 0;
        check(file_read_into(dir, f.name, p, f.size, &n));
        p += n;
        while ((p - start) % 4)
            *p++ = 0;
    }
    p = finish(p, start);
    measure(pcr, start, size_t(p - start), description);
    return {start, size_t(p - start)};
}

// --- add-ons ---------------------------------------------------------------------------------

struct Addons {
    iovec cmdline = {}, initrd = {};
    const char16_t *initrd_name = nullptr;
};

// A section of a PE file as read from disk (raw offsets), bounded by the file.
iovec file_section(const uint8_t *file, size_t size, const char *name) {
    uint32_t pe = *reinterpret_cast<const uint32_t *>(file + 0x3c);
    if (pe + sizeof(PeFileHeader) > size)
        fail();
    const auto *header = reinterpret_cast<const PeFileHeader *>(file + pe);
    const auto *table = reinterpret_cast<const PeSectionHeader *>(file + pe + sizeof(PeFileHeader) +
                                                                  header->SizeOfOptionalHeader);
    for (size_t i = 0; i < header->NumberOfSections; i++)
        if (pe_section_name_equal(table[i].Name, name)) {
            if (uint64_t(table[i].PointerToRawData) + table[i].VirtualSize > size)
                fail();
            return {const_cast<uint8_t *>(file) + table[i].PointerToRawData, table[i].VirtualSize};
        }
    return {};
}

// Each add-on file read once; its payloads are used where they lie.
void read_addons(EFI_FILE_PROTOCOL *dir, const FileGroup &group, Addons *out) {
    for (size_t i = 0; i < group.n; i++) {
        const File &f = group.files[i];
        auto *file = static_cast<uint8_t *>(xmalloc(f.size));
        size_t n = 0;
        check(file_read_into(dir, f.name, file, f.size, &n));
        if (iovec c = file_section(file, n, ".cmdline"); c.iov_len)
            out->cmdline = c;
        if (iovec r = file_section(file, n, ".initrd"); r.iov_len) {
            out->initrd = r;
            out->initrd_name = f.name;
        }
    }
}

// --- the command line and the kernel ---------------------------------------------------------

// The built-in command line, then the add-on's, as UTF-16; the add-on's part is measured.
char16_t *command_line(iovec builtin, iovec addon) {
    auto *line = static_cast<char16_t *>(xmalloc((builtin.iov_len + addon.iov_len + 2) * sizeof(char16_t)));
    size_t n = 0;
    for (size_t i = 0; i < builtin.iov_len && static_cast<const char *>(builtin.iov_base)[i]; i++)
        line[n++] = static_cast<const unsigned char *>(builtin.iov_base)[i];
    size_t addon_start = n + 1;
    if (addon.iov_len)
        line[n++] = u' ';
    for (size_t i = 0; i < addon.iov_len && static_cast<const char *>(addon.iov_base)[i]; i++)
        line[n++] = static_cast<const unsigned char *>(addon.iov_base)[i];
    line[n] = 0;
    if (addon.iov_len)
        measure(12, line + addon_start, (n - addon_start + 1) * sizeof(char16_t), line + addon_start);
    return line;
}

iovec combine(const iovec *parts, size_t n_parts) {
    size_t total = 0;
    for (size_t i = 0; i < n_parts; i++)
        total += align4(parts[i].iov_len);
    EFI_PHYSICAL_ADDRESS addr = 0xffffffff;
    check(BS->AllocatePages(AllocateMaxAddress, EfiLoaderData, (total + 4095) / 4096, &addr));
    auto *p = reinterpret_cast<uint8_t *>(static_cast<uintptr_t>(addr));
    for (size_t i = 0; i < n_parts; i++) {
        memcpy(p, parts[i].iov_base, parts[i].iov_len);
        memset(p + parts[i].iov_len, 0, align4(parts[i].iov_len) - parts[i].iov_len);
        p += align4(parts[i].iov_len);
    }
    return {reinterpret_cast<void *>(static_cast<uintptr_t>(addr)), total};
}

struct [[gnu::packed]] VendorPath {
    uint8_t type = MEDIA_DEVICE_PATH, subtype = 3;
    uint16_t length = 20;
    EFI_GUID guid;
    uint8_t end_type = 0x7f, end_subtype = 0xff;
    uint16_t end_length = 4;
};

constexpr EFI_GUID LINUX_INITRD_MEDIA_GUID = {0x5568e427, 0x68fc, 0x4f3d, {0xac, 0x74, 0xca, 0x55, 0x52, 0x31, 0xcc, 0x68}};
constexpr EFI_GUID FLOOR_PAYLOAD_GUID = {0x2d3b5c1e, 0x9a47, 0x4e0f, {0x8b, 0x61, 0x3c, 0x70, 0x5d, 0xe2, 0x14, 0xa9}};

struct InitrdProvider {
    EFI_LOAD_FILE2_PROTOCOL protocol;
    iovec initrd;
};

EFI_STATUS EFIAPI provide_initrd(EFI_LOAD_FILE2_PROTOCOL *This, EFI_DEVICE_PATH_PROTOCOL *, BOOLEAN, UINTN *size,
                                 VOID *buffer) {
    auto *provider = reinterpret_cast<InitrdProvider *>(This);
    if (!buffer || *size < provider->initrd.iov_len) {
        *size = provider->initrd.iov_len;
        return EFI_BUFFER_TOO_SMALL;
    }
    memcpy(buffer, provider->initrd.iov_base, provider->initrd.iov_len);
    *size = provider->initrd.iov_len;
    return EFI_SUCCESS;
}

[[noreturn]] void boot(EFI_HANDLE image) {
    EFI_LOADED_IMAGE_PROTOCOL *loaded_image = nullptr;
    check(BS->HandleProtocol(image, &EFI_LOADED_IMAGE_PROTOCOL_GUID, reinterpret_cast<void **>(&loaded_image)));
    find_tpm();

    Sections s;
    s.base = static_cast<const uint8_t *>(loaded_image->ImageBase);
    check(pe_memory_locate_sections(loaded_image->ImageBase, loaded_image->ImageSize, image_section_names, s.span));
    measure_sections(s);

    FileHandle root, dir;
    check(open_volume_root(loaded_image->DeviceHandle, root.out()));
    char16_t dir_path[512];
    extra_dir(loaded_image, dir_path, 512);
    Sidecars sidecars;
    EFI_STATUS err = open_directory(root.get(), dir_path, dir.out());
    if (err == EFI_SUCCESS)
        list_sidecars(dir.get(), &sidecars);
    else if (err != EFI_NOT_FOUND)
        fail();

    Addons addons;
    read_addons(dir.get(), sidecars.addons, &addons);
    char16_t *cmdline = command_line(s.get(SECTION_CMDLINE), addons.cmdline);
    iovec credentials = pack(dir.get(), sidecars.credentials, "credentials", 0500, 0400, 12, u"Credentials initrd");
    iovec sysexts = pack(dir.get(), sidecars.sysexts, "sysext", 0555, 0444, 13, u"System extension initrd");
    if (addons.initrd_name)
        measure(12, addons.initrd.iov_base, addons.initrd.iov_len, addons.initrd_name, TAG_INITRD_ADDON_ID);

    // The os-release file as the kernel gets it, written where it goes.
    iovec osrel = s.get(SECTION_OSREL);
    size_t osrel_size = record_size(".extra", nullptr, 0) + record_size(".extra", u"os-release", osrel.iov_len) +
                        CPIO_TRAILER;
    auto *osrel_archive = static_cast<uint8_t *>(xmalloc(osrel_size));
    uint8_t *p = put_record(osrel_archive, osrel_archive, 1, 040555, 0, ".extra", nullptr);
    p = put_record(p, osrel_archive, 2, 0100444, uint32_t(osrel.iov_len), ".extra", u"os-release");
    memcpy(p, osrel.iov_base, osrel.iov_len);
    finish(p + osrel.iov_len, osrel_archive);

    const iovec parts[] = {s.get(SECTION_UCODE), s.get(SECTION_INITRD), credentials, sysexts,
                           {osrel_archive, osrel_size}, addons.initrd};
    InitrdProvider provider = {{provide_initrd}, combine(parts, sizeof(parts) / sizeof(parts[0]))};

    VendorPath payload_path;
    payload_path.guid = FLOOR_PAYLOAD_GUID;
    iovec kernel = s.get(SECTION_LINUX);
    EFI_HANDLE kernel_image = nullptr;
    check(BS->LoadImage(false, image, reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(&payload_path), kernel.iov_base,
                        kernel.iov_len, &kernel_image));
    EFI_LOADED_IMAGE_PROTOCOL *kernel_loaded = nullptr;
    check(BS->HandleProtocol(kernel_image, &EFI_LOADED_IMAGE_PROTOCOL_GUID,
                             reinterpret_cast<void **>(&kernel_loaded)));
    kernel_loaded->LoadOptions = cmdline;
    kernel_loaded->LoadOptionsSize = static_cast<uint32_t>((str16_len(cmdline) + 1) * sizeof(char16_t));

    VendorPath initrd_path;
    initrd_path.guid = LINUX_INITRD_MEDIA_GUID;
    EFI_HANDLE initrd_handle = nullptr;
    check(BS->InstallMultipleProtocolInterfaces(&initrd_handle, &EFI_DEVICE_PATH_PROTOCOL_GUID, &initrd_path,
                                                &EFI_LOAD_FILE2_PROTOCOL_GUID, &provider, nullptr));
    BS->StartImage(kernel_image, nullptr, nullptr);
    fail();
}

} // namespace

} // namespace korvane::bench

extern "C" __attribute__((no_stack_protector)) EFI_STATUS EFIAPI floor_entry(EFI_HANDLE image,
                                                                           EFI_SYSTEM_TABLE *system_table) {
    korvane::firmware_init(system_table);
    korvane::bench::boot(image);
}
