// Add-ons: signed PE images beside the UKI ("\loader\addons" and the image's ".extra.d")
// whose ".cmdline", devicetree, ".initrd" and ".ucode" sections extend the boot. They are
// loaded through the firmware, so Secure Boot decides about them; their code never runs.
#pragma once

#include "efi/loaded-image.h"
#include "dir-names.h"
#include "efi/simple-file-system.h"
#include "util.h"

namespace korvane {

// One payload taken from one add-on: its file name and a private copy of the section.
struct NamedAddon {
    char16_t *file_name;
    iovec data;
};

void named_addon_free_many(NamedAddon *addons, size_t n_addons);

class NamedAddonList {
public:
    NamedAddonList() = default;
    NamedAddonList(const NamedAddonList &) = delete;
    NamedAddonList &operator=(const NamedAddonList &) = delete;
    ~NamedAddonList() { named_addon_free_many(items_.release(), n_); }

    // Takes ownership of file_name and the data.
    void append(char16_t *file_name, iovec data);
    size_t size() const { return n_; }
    const NamedAddon &operator[](size_t i) const { return items_[i]; }

private:
    PoolPtr<NamedAddon> items_;
    size_t n_ = 0;
};

// What the add-ons of both directories contribute, in directory and name order.
struct AddonPayloads {
    PoolPtr<char16_t> cmdline;
    NamedAddonList devicetrees;
    NamedAddonList initrds;
    NamedAddonList ucodes;
};

// The candidate add-on names in `path` below `root`, sorted; none when it does not exist.
EFI_STATUS load_addons_from_dir(EFI_FILE_PROTOCOL *root, const char16_t *path, NameList *names);

EFI_STATUS load_addons(EFI_HANDLE stub_image, const EFI_LOADED_IMAGE_PROTOCOL *loaded_image,
                       const char16_t *directory, const char *uname, AddonPayloads *payloads);

// The global pass, then the image's own; failures are logged and passed over.
void load_all_addons(EFI_HANDLE stub_image, const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const char *uname,
                     AddonPayloads *payloads);

} // namespace korvane
