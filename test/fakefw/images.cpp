#include "fakefw/images.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

#include "boot/efi/security-arch.h"
#include "fakefw/device-path-bytes.h"
#include "fakefw/trampoline.h"

namespace fakefw {

namespace {

constexpr uint16_t MACHINE_X64 = 0x8664;
constexpr uint16_t MACHINE_NONE = 0;
constexpr uint16_t MAGIC_PE32_PLUS = 0x20b;
constexpr uint16_t SUBSYSTEM_EFI_APPLICATION = 10;
constexpr size_t SECTION_HEADER_SIZE = 40;
// The optional header up to and including Subsystem.
constexpr size_t MIN_OPTIONAL_HEADER = 70;
// Larger images fail as they would on an exhausted machine.
constexpr uint32_t MAX_IMAGE_SIZE = 256u << 20;
constexpr uint32_t LOADED_IMAGE_REVISION = 0x1000;

Images &images() { return Firmware::active().images(); }

EFI_STATUS load_image(BOOLEAN boot_policy, EFI_HANDLE parent, EFI_DEVICE_PATH_PROTOCOL *device_path, VOID *source,
                      UINTN source_size, EFI_HANDLE *image) {
    return images().load_image(boot_policy, parent, device_path, source, source_size, image);
}
EFI_STATUS start_image(EFI_HANDLE image, UINTN *exit_data_size, CHAR16 **exit_data) {
    return images().start_image(image, exit_data_size, exit_data);
}
EFI_STATUS unload_image(EFI_HANDLE image) { return images().unload_image(image); }

template <typename T> T read(const uint8_t *p, size_t offset) {
    T value;
    memcpy(&value, p + offset, sizeof(value));
    return value;
}

// offset + length <= limit, without overflow.
bool fits(uint64_t offset, uint64_t length, uint64_t limit) { return offset <= limit && length <= limit - offset; }

} // namespace

Images::~Images() = default;

std::vector<std::string> Images::leaks() const {
    std::vector<std::string> out;
    for (const auto &img : images_)
        out.push_back("image: " + std::to_string(img->size) + " bytes, entry \"" + img->marker + "\", still loaded");
    return out;
}

void Images::bind(EFI_BOOT_SERVICES &bs) {
    bs.LoadImage = Entry<Service::LoadImage, fakefw::load_image>::call;
    bs.StartImage = Entry<Service::StartImage, fakefw::start_image>::call;
    bs.UnloadImage = Entry<Service::UnloadImage, fakefw::unload_image>::call;
}

EFI_STATUS Images::load_image(BOOLEAN boot_policy, EFI_HANDLE parent, EFI_DEVICE_PATH_PROTOCOL *device_path,
                              VOID *source, UINTN source_size, EFI_HANDLE *image) {
    LoadImageCall call{boot_policy, parent,      device_path, device_path_bytes(device_path),
                       source,      source_size, EFI_SUCCESS, nullptr};
    auto finish = [&](EFI_STATUS status) {
        call.status = status;
        load_calls_.push_back(call);
        return status;
    };
    if (!image || !fw_.handles().find(parent, EFI_LOADED_IMAGE_PROTOCOL_GUID))
        return finish(EFI_INVALID_PARAMETER);
    // Without a buffer the file comes from the volume the path names, and is then treated as if
    // the caller had passed its bytes.
    Bytes file;
    if (!source) {
        FileNode *node = fw_.file_systems().file_at(device_path);
        if (!node)
            return finish(EFI_NOT_FOUND);
        file = node->contents();
        source = file.data();
        source_size = file.size();
    }

    EFI_STATUS verdict = authenticate(device_path, source, source_size, boot_policy);
    if (verdict != EFI_SUCCESS && verdict != EFI_SECURITY_VIOLATION)
        return finish(verdict);

    std::unique_ptr<Image> img;
    EFI_STATUS err = load(device_path, static_cast<const uint8_t *>(source), source_size, parent, &img);
    if (err != EFI_SUCCESS)
        return finish(err);
    img->refused = verdict == EFI_SECURITY_VIOLATION;
    img->handle = fw_.handles().install(nullptr, EFI_LOADED_IMAGE_PROTOCOL_GUID, &img->loaded);
    *image = call.image = img->handle;
    images_.push_back(std::move(img));
    return finish(verdict);
}

// The hooks are read from the installed protocols now: whoever rewrote them is asked.
EFI_STATUS Images::authenticate(const EFI_DEVICE_PATH_PROTOCOL *device_path, VOID *source, UINTN source_size,
                                BOOLEAN boot_policy) {
    Handles &handles = fw_.handles();
    std::vector<EFI_HANDLE> with2 = handles.with(EFI_SECURITY2_ARCH_PROTOCOL_GUID);
    if (!with2.empty()) {
        auto *security2 =
            static_cast<EFI_SECURITY2_ARCH_PROTOCOL *>(handles.find(with2.front(), EFI_SECURITY2_ARCH_PROTOCOL_GUID));
        return security2->FileAuthentication(security2, device_path, source, source_size, boot_policy);
    }
    std::vector<EFI_HANDLE> with1 = handles.with(EFI_SECURITY_ARCH_PROTOCOL_GUID);
    if (!with1.empty()) {
        auto *security =
            static_cast<EFI_SECURITY_ARCH_PROTOCOL *>(handles.find(with1.front(), EFI_SECURITY_ARCH_PROTOCOL_GUID));
        return security->FileAuthenticationState(security, 0, device_path);
    }
    return EFI_SUCCESS;
}

// Checks the headers against the buffer, then maps every section at its virtual address.
EFI_STATUS Images::load(const EFI_DEVICE_PATH_PROTOCOL *device_path, const uint8_t *p, size_t n, EFI_HANDLE parent,
                        std::unique_ptr<Image> *ret) {
    if (n < 0x40 || p[0] != 'M' || p[1] != 'Z')
        return EFI_LOAD_ERROR;
    uint32_t pe = read<uint32_t>(p, 0x3c);
    if (!fits(pe, 24, n) || memcmp(p + pe, "PE\0\0", 4) != 0)
        return EFI_LOAD_ERROR;
    uint16_t n_sections = read<uint16_t>(p, pe + 6), optional_size = read<uint16_t>(p, pe + 20);
    size_t opt = pe + 24;
    if (optional_size < MIN_OPTIONAL_HEADER || !fits(opt, optional_size, n))
        return EFI_LOAD_ERROR;
    uint16_t machine = read<uint16_t>(p, pe + 4);
    if ((machine != MACHINE_X64 && machine != MACHINE_NONE) || read<uint16_t>(p, opt) != MAGIC_PE32_PLUS)
        return EFI_UNSUPPORTED;
    uint32_t image_size = read<uint32_t>(p, opt + 56), headers_size = read<uint32_t>(p, opt + 60);
    size_t table = opt + optional_size;
    if (image_size == 0 || image_size > MAX_IMAGE_SIZE || headers_size > image_size || headers_size > n ||
        !fits(table, uint64_t(n_sections) * SECTION_HEADER_SIZE, n))
        return EFI_LOAD_ERROR;

    auto img = std::make_unique<Image>();
    size_t mapped = (size_t(image_size) + EFI_PAGE_SIZE - 1) & ~size_t(EFI_PAGE_SIZE - 1);
    img->base.reset(static_cast<uint8_t *>(aligned_alloc(EFI_PAGE_SIZE, mapped)));
    if (!img->base)
        return EFI_OUT_OF_RESOURCES;
    uint8_t *base = img->base.get();
    memset(base, 0, mapped);
    memcpy(base, p, headers_size);
    for (size_t i = 0; i < n_sections; i++) {
        size_t h = table + i * SECTION_HEADER_SIZE;
        uint32_t vsize = read<uint32_t>(p, h + 8), va = read<uint32_t>(p, h + 12);
        uint32_t rsize = read<uint32_t>(p, h + 16), raw = read<uint32_t>(p, h + 20);
        uint32_t copied = vsize == 0 ? rsize : std::min(vsize, rsize);
        if (!fits(va, std::max(vsize, copied), image_size) || !fits(raw, copied, n))
            return EFI_LOAD_ERROR;
        memcpy(base + va, p + raw, copied);
        if (memcmp(p + h, ENTRY_SECTION, 8) == 0)
            img->marker.assign(reinterpret_cast<const char *>(base + va), std::max(vsize, copied));
    }
    // Image memory holds code, as the firmware's does.
    if (mprotect(base, mapped, PROT_READ | PROT_WRITE | PROT_EXEC) != 0)
        return EFI_OUT_OF_RESOURCES;
    img->size = image_size;
    img->foreign = machine != MACHINE_X64;
    img->subsystem = read<uint16_t>(p, opt + 68);

    // As for a file: the device handle owns the longest prefix, FilePath is the rest.
    auto *remaining = const_cast<EFI_DEVICE_PATH_PROTOCOL *>(device_path);
    EFI_HANDLE device = nullptr;
    if (device_path && fw_.handles().locate_device_path(&EFI_DEVICE_PATH_PROTOCOL_GUID, &remaining, &device) !=
                           EFI_SUCCESS)
        remaining = const_cast<EFI_DEVICE_PATH_PROTOCOL *>(device_path);
    img->file_path = device_path_bytes(remaining);
    img->loaded = EFI_LOADED_IMAGE_PROTOCOL{
        .Revision = LOADED_IMAGE_REVISION,
        .ParentHandle = parent,
        .SystemTable = fw_.system_table(),
        .DeviceHandle = device,
        .FilePath = img->file_path.empty() ? nullptr
                                           : reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(img->file_path.data()),
        .ImageBase = base,
        .ImageSize = image_size,
        .ImageCodeType = EfiLoaderCode,
        .ImageDataType = EfiLoaderData,
    };
    *ret = std::move(img);
    return EFI_SUCCESS;
}

EFI_STATUS Images::start_image(EFI_HANDLE image, UINTN *exit_data_size, CHAR16 **exit_data) {
    Image *img = find(image);
    if (!img || img->started)
        return EFI_INVALID_PARAMETER;
    if (img->refused)
        return EFI_SECURITY_VIOLATION;
    if (img->foreign)
        return EFI_UNSUPPORTED;
    auto it = entries_.find(img->marker);
    if (it == entries_.end()) {
        ADD_FAILURE() << "fakefw: StartImage of an image without a registered entry (\"" << img->marker << "\")";
        return EFI_LOAD_ERROR;
    }
    img->started = true;
    ImageEntry entry = it->second;
    EFI_STATUS status = entry(image);
    if (exit_data_size)
        *exit_data_size = 0;
    if (exit_data)
        *exit_data = nullptr;
    img = find(image);
    if (img && img->subsystem == SUBSYSTEM_EFI_APPLICATION)
        remove(image);
    return status;
}

EFI_STATUS Images::unload_image(EFI_HANDLE image) {
    Image *img = find(image);
    if (!img)
        return EFI_INVALID_PARAMETER;
    // A started driver leaves only through its own Unload function.
    if (img->started && !img->loaded.Unload)
        return EFI_UNSUPPORTED;
    remove(image);
    return EFI_SUCCESS;
}

Images::Image *Images::find(EFI_HANDLE image) const {
    for (const auto &img : images_)
        if (image && img->handle == image)
            return img.get();
    return nullptr;
}

void Images::remove(EFI_HANDLE image) {
    fw_.handles().uninstall(image, EFI_LOADED_IMAGE_PROTOCOL_GUID);
    for (auto it = images_.begin(); it != images_.end(); ++it)
        if ((*it)->handle == image) {
            images_.erase(it);
            return;
        }
}

} // namespace fakefw
