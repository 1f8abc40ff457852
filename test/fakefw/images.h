// LoadImage, StartImage and UnloadImage for PE32+ images held in memory.
//
// LoadImage takes a source buffer, or without one reads the file the device path names from a
// fake volume (FileSystems::file_at; EFI_NOT_FOUND when there is none) and goes on with its
// bytes as with a buffer (a copy that lives only during the call: AuthCall::buffer is stale
// afterwards). It first asks the platform as DxeCore does for a buffer:
// the Security2 protocol's FileAuthentication when one is installed, else the Security
// protocol's FileAuthenticationState, each read from the protocol at call time with the caller's
// device path object and buffer. EFI_SECURITY_VIOLATION still loads the image and hands out
// its handle with that status, but the image cannot be started; any other refusal loads
// nothing. The image is then mapped section by section into a fresh buffer of SizeOfImage
// (fakefw's own memory, freed by UnloadImage) and gets a loaded image protocol.
//
// An image that declares no machine type (0, as a mixed-mode kernel does) loads, but StartImage
// answers EFI_UNSUPPORTED, as firmware does for an image it cannot run. Image memory is
// executable, so that code placed in an image can be called.
//
// What an image does when started is a C++ entry registered for a marker: the contents of the
// image's section named ENTRY_SECTION. An application image is unloaded when its entry
// returns, as EDK2 does. Images still loaded when the Firmware goes are reported as leaks.
#pragma once

#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "boot/efi/efi.h"
#include "boot/efi/loaded-image.h"

namespace fakefw {

class Firmware;

using Bytes = std::vector<uint8_t>;

// The section whose contents name the image's entry.
inline constexpr const char *ENTRY_SECTION = ".fakeent";

using ImageEntry = std::function<EFI_STATUS(EFI_HANDLE image)>;

struct LoadImageCall {
    BOOLEAN boot_policy;
    EFI_HANDLE parent;
    const EFI_DEVICE_PATH_PROTOCOL *device_path;
    Bytes device_path_bytes; // as it was during the call
    const void *source;
    UINTN source_size;
    EFI_STATUS status;
    EFI_HANDLE image; // null when nothing was loaded
};

class Images {
public:
    explicit Images(Firmware &fw) : fw_(fw) {}
    Images(const Images &) = delete;
    Images &operator=(const Images &) = delete;
    ~Images();

    // StartImage of an image whose ENTRY_SECTION holds `marker` runs `entry` and returns its status.
    void set_entry(const std::string &marker, ImageEntry entry) { entries_[marker] = std::move(entry); }

    const std::vector<LoadImageCall> &load_calls() const { return load_calls_; }
    // Images loaded and not unloaded yet.
    size_t loaded_count() const { return images_.size(); }
    bool loaded(EFI_HANDLE image) const { return find(image) != nullptr; }
    // One description per image still loaded.
    std::vector<std::string> leaks() const;

    // Firmware side, called through the boot services table.
    void bind(EFI_BOOT_SERVICES &bs);
    EFI_STATUS load_image(BOOLEAN boot_policy, EFI_HANDLE parent, EFI_DEVICE_PATH_PROTOCOL *device_path,
                          VOID *source, UINTN source_size, EFI_HANDLE *image);
    EFI_STATUS start_image(EFI_HANDLE image, UINTN *exit_data_size, CHAR16 **exit_data);
    EFI_STATUS unload_image(EFI_HANDLE image);

private:
    struct Image {
        EFI_HANDLE handle = nullptr;
        std::unique_ptr<uint8_t, void (*)(void *)> base{nullptr, free};
        size_t size = 0;
        uint16_t subsystem = 0;
        std::string marker;
        Bytes file_path;
        EFI_LOADED_IMAGE_PROTOCOL loaded = {};
        bool refused = false;
        bool foreign = false; // no machine type of this firmware
        bool started = false;
    };
    EFI_STATUS authenticate(const EFI_DEVICE_PATH_PROTOCOL *device_path, VOID *source, UINTN source_size,
                            BOOLEAN boot_policy);
    EFI_STATUS load(const EFI_DEVICE_PATH_PROTOCOL *device_path, const uint8_t *source, size_t source_size,
                    EFI_HANDLE parent, std::unique_ptr<Image> *ret);
    Image *find(EFI_HANDLE image) const;
    void remove(EFI_HANDLE image);

    Firmware &fw_;
    std::map<std::string, ImageEntry> entries_;
    std::vector<std::unique_ptr<Image>> images_;
    std::vector<LoadImageCall> load_calls_;
};

} // namespace fakefw
