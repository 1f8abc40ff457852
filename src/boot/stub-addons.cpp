#include "stub-addons.h"

#include "device-path-util.h"
#include "dir-names.h"
#include "efi-string.h"
#include "efi/shim-lock.h"
#include "file-util.h"
#include "firmware.h"
#include "log.h"
#include "pe.h"
#include "secure-boot.h"
#include "stub-cmdline.h"

namespace korvane {

namespace {

constexpr const char16_t *GLOBAL_ADDONS_DIR = u"\\loader\\addons";
constexpr const char16_t *ADDON_SUFFIX = u".addon.efi";


bool shim_present() {
    void *shim = nullptr;
    return BS->LocateProtocol(&SHIM_LOCK_PROTOCOL_GUID, nullptr, &shim) == EFI_SUCCESS && shim;
}

// LoadImage of the add-on; under shim the override lets through what shim verifies.
EFI_STATUS load_addon_image(EFI_HANDLE stub_image, EFI_DEVICE_PATH_PROTOCOL *dp, EFI_HANDLE *ret) {
    bool shim = shim_present();
    if (shim && secure_boot_active())
        override_security_hooks(validate_with_shim, nullptr);
    EFI_STATUS err = BS->LoadImage(false, stub_image, dp, nullptr, 0, ret);
    if (shim)
        restore_security_hooks();
    return err;
}

const char *section_bytes(const EFI_LOADED_IMAGE_PROTOCOL *addon, const PeSectionSpan &section) {
    return static_cast<const char *>(addon->ImageBase) + section.mem_offset;
}

// The add-on chooses the size: a copy the firmware cannot make leaves this payload out.
void append_payload(NamedAddonList &list, const char16_t *name, const EFI_LOADED_IMAGE_PROTOCOL *addon,
                    ImageSection kind, const PeSectionSpan &section) {
    void *copy = try_malloc(section.mem_size);
    if (!copy) {
        log_error(EFI_OUT_OF_RESOURCES, "Failed to copy %s section of %ls, ignoring: %m", image_section_names[kind],
                  name);
        return;
    }
    memcpy(copy, section_bytes(addon, section), section.mem_size);
    list.append(xstr16_dup(name, SIZE_MAX), {copy, section.mem_size});
}

void append_addon_cmdline(const char16_t *name, const EFI_LOADED_IMAGE_PROTOCOL *addon, const PeSectionSpan &section,
                          PoolPtr<char16_t> *cmdline) {
    if (str8_nlen(section_bytes(addon, section), section.mem_size) > CMDLINE_TEXT_MAX) {
        log_error(EFI_BAD_BUFFER_SIZE, "Command line of %ls is too long, ignoring.", name);
        return;
    }
    PoolPtr<char16_t> fragment(pe_section_to_str16(addon, &section));
    if (!fragment)
        return;
    tidy_command_line(fragment.get());
    if (!*cmdline) {
        *cmdline = move(fragment);
        return;
    }
    const char16_t *blank = (*cmdline)[0] != 0 ? u" " : u"";
    cmdline->reset(xformat("%ls%ls%ls", cmdline->get(), blank, fragment.get()));
}

constexpr bool present(const PeSectionSpan &s) { return s.mem_size > 0; }

bool uname_matches(const EFI_LOADED_IMAGE_PROTOCOL *addon, const PeSectionSpan &section, const char *uname) {
    if (!uname || !present(section))
        return true;
    return str8_ncompare(section_bytes(addon, section), uname, section.mem_size) == 0;
}

// Whether the add-on may contribute; logs why not.
bool addon_acceptable(const char16_t *name, const EFI_LOADED_IMAGE_PROTOCOL *addon, const PeSectionSpan *sections,
                      const char *uname) {
    if (!present(sections[SECTION_CMDLINE]) && !present(sections[SECTION_DTB]) &&
        !present(sections[SECTION_DTBAUTO]) && !present(sections[SECTION_INITRD]) &&
        !present(sections[SECTION_UCODE])) {
        log_error(EFI_NOT_FOUND,
                  "Unable to locate embedded .cmdline/.dtb/.dtbauto/.initrd/.ucode sections in %ls, ignoring: %m",
                  name);
        return false;
    }
    if (present(sections[SECTION_LINUX])) {
        log_error(EFI_LOAD_ERROR, "%ls is a UKI, not an addon, ignoring.", name);
        return false;
    }
    if (!uname_matches(addon, sections[SECTION_UNAME], uname)) {
        log_error(EFI_INVALID_PARAMETER, ".uname mismatch between %ls and UKI, ignoring", name);
        return false;
    }
    return true;
}

void take_payloads(const char16_t *name, const EFI_LOADED_IMAGE_PROTOCOL *addon, const PeSectionSpan *sections,
                   AddonPayloads *payloads) {
    if (present(sections[SECTION_CMDLINE]))
        append_addon_cmdline(name, addon, sections[SECTION_CMDLINE], &payloads->cmdline);
    ImageSection devicetree = present(sections[SECTION_DTBAUTO]) ? SECTION_DTBAUTO : SECTION_DTB;
    if (present(sections[devicetree]))
        append_payload(payloads->devicetrees, name, addon, devicetree, sections[devicetree]);
    if (present(sections[SECTION_INITRD]))
        append_payload(payloads->initrds, name, addon, SECTION_INITRD, sections[SECTION_INITRD]);
    if (present(sections[SECTION_UCODE]))
        append_payload(payloads->ucodes, name, addon, SECTION_UCODE, sections[SECTION_UCODE]);
}

// One add-on: loaded, checked, copied, unloaded. Only a failure that ends the pass is returned.
EFI_STATUS load_one_addon(EFI_HANDLE stub_image, const EFI_LOADED_IMAGE_PROTOCOL *loaded_image,
                          const char16_t *directory, const char16_t *name, const char *uname,
                          AddonPayloads *payloads) {
    PoolPtr<char16_t> path(xformat("%ls\\%ls", directory, name));
    PoolPtr<EFI_DEVICE_PATH_PROTOCOL> dp;
    EFI_STATUS err = make_file_device_path(loaded_image->DeviceHandle, path.get(), dp.out());
    if (err != EFI_SUCCESS)
        return log_error(err, "Error making device path for %ls: %m", path.get());

    ImageHandle image;
    err = load_addon_image(stub_image, dp.get(), image.out());
    if (err != EFI_SUCCESS) {
        log_error(err, "Failed to read '%ls' from '%ls', ignoring: %m", name, path.get());
        return EFI_SUCCESS;
    }

    EFI_LOADED_IMAGE_PROTOCOL *addon = nullptr;
    err = BS->HandleProtocol(image.get(), &EFI_LOADED_IMAGE_PROTOCOL_GUID, reinterpret_cast<void **>(&addon));
    if (err != EFI_SUCCESS)
        return log_error(err, "Failed to find protocol in %ls: %m", name);

    PeSectionSpan sections[IMAGE_SECTION_COUNT] = {};
    err = pe_memory_locate_sections(addon->ImageBase, addon->ImageSize, image_section_names, sections);
    if (err != EFI_SUCCESS) {
        log_error(err, "Unable to locate embedded .cmdline/.dtb/.dtbauto/.initrd/.ucode sections in %ls, ignoring: %m",
                  name);
        return EFI_SUCCESS;
    }
    if (!addon_acceptable(name, addon, sections, uname))
        return EFI_SUCCESS;
    take_payloads(name, addon, sections, payloads);
    return EFI_SUCCESS;
}

} // namespace

void named_addon_free_many(NamedAddon *addons, size_t n_addons) {
    ASSERT(addons || n_addons == 0);
    for (size_t i = 0; i < n_addons; i++) {
        free_pool(addons[i].file_name);
        free_pool(addons[i].data.iov_base);
    }
    free_pool(addons);
}

void NamedAddonList::append(char16_t *file_name, iovec data) {
    PoolPtr<NamedAddon> grown(xnew<NamedAddon>(n_ + 1));
    memcpy(grown.get(), items_.get(), n_ * sizeof(NamedAddon));
    grown[n_] = {file_name, data};
    items_ = move(grown);
    n_++;
}

EFI_STATUS load_addons_from_dir(EFI_FILE_PROTOCOL *root, const char16_t *path, NameList *names) {
    FileHandle dir;
    EFI_STATUS err = open_directory(root, path, dir.out());
    if (err == EFI_NOT_FOUND)
        return EFI_SUCCESS;
    if (err != EFI_SUCCESS)
        return log_error(err, "Failed to open addons directory '%ls': %m", path);
    return list_directory_names(dir.get(), ADDON_SUFFIX, nullptr, "addons", names);
}

EFI_STATUS load_addons(EFI_HANDLE stub_image, const EFI_LOADED_IMAGE_PROTOCOL *loaded_image,
                       const char16_t *directory, const char *uname, AddonPayloads *payloads) {
    ASSERT(stub_image);
    ASSERT(loaded_image);
    if (!loaded_image->DeviceHandle)
        return EFI_SUCCESS;

    FileHandle root;
    EFI_STATUS err = open_volume_root(loaded_image->DeviceHandle, root.out());
    if (err == EFI_UNSUPPORTED)
        return EFI_SUCCESS;
    if (err != EFI_SUCCESS)
        return log_error(err, "Unable to open root directory: %m");

    NameList names;
    err = load_addons_from_dir(root.get(), directory, &names);
    for (size_t i = 0; i < names.size() && err == EFI_SUCCESS; i++)
        err = load_one_addon(stub_image, loaded_image, directory, names[i], uname, payloads);
    return err;
}

void load_all_addons(EFI_HANDLE stub_image, const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const char *uname,
                     AddonPayloads *payloads) {
    EFI_STATUS err = load_addons(stub_image, loaded_image, GLOBAL_ADDONS_DIR, uname, payloads);
    if (err != EFI_SUCCESS)
        log_error(err, "Error loading global addons, ignoring: %m");

    PoolPtr<char16_t> extra_dir(image_extra_dir(loaded_image->FilePath));
    if (!extra_dir)
        return;
    err = load_addons(stub_image, loaded_image, extra_dir.get(), uname, payloads);
    if (err != EFI_SUCCESS)
        log_error(err, "Error loading UKI-specific addons, ignoring: %m");
}

} // namespace korvane
