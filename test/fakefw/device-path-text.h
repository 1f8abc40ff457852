// EFI_DEVICE_PATH_TO_TEXT_PROTOCOL, installed only when a test asks for it; declare it after
// the Firmware. Texts are new pool memory, as the firmware's are. The text follows the UEFI
// text forms for the nodes the stub meets: a file-path node gives its name, a GPT hard-drive
// node "HD(n,GPT,guid,0xstart,0xsize)", any other node "Path(type,subtype,HEX)"; nodes are
// joined by "/" and instances by ",".
#pragma once

#include <string>
#include <vector>

#include "boot/efi/device-path-to-text.h"
#include "fakefw/filesystem.h"

namespace fakefw {

class Firmware;

struct DevicePathTextCall {
    Bytes path; // the whole path as passed, end node included
    BOOLEAN display_only;
    BOOLEAN allow_shortcuts;
};

class DevicePathText {
public:
    explicit DevicePathText(Firmware &fw) : fw_(fw) {}
    ~DevicePathText();
    DevicePathText(const DevicePathText &) = delete;
    DevicePathText &operator=(const DevicePathText &) = delete;

    // Installs the protocol on a new handle and returns the handle.
    EFI_HANDLE install();
    void uninstall();
    EFI_DEVICE_PATH_TO_TEXT_PROTOCOL *protocol() { return &protocol_; }

    // After `after` conversions, the next `times` return null, as on a firmware out of memory.
    void run_out_of_memory(unsigned after = 0, unsigned times = ALWAYS) {
        out_of_memory_.fail(EFI_OUT_OF_RESOURCES, after, times);
    }
    // Every ConvertDevicePathToText call, the failed ones included.
    const std::vector<DevicePathTextCall> &calls() const { return calls_; }

    // The text this firmware gives for `path`.
    static std::u16string text_of(const EFI_DEVICE_PATH_PROTOCOL *path);

    // Firmware side.
    CHAR16 *convert(const EFI_DEVICE_PATH_PROTOCOL *path, BOOLEAN display_only, BOOLEAN allow_shortcuts);
    static DevicePathText *installed() { return installed_; }

private:
    static DevicePathText *installed_;

    Firmware &fw_;
    EFI_DEVICE_PATH_TO_TEXT_PROTOCOL protocol_ = {};
    EFI_HANDLE handle_ = nullptr;
    FaultPlan out_of_memory_;
    std::vector<DevicePathTextCall> calls_;
};

} // namespace fakefw
