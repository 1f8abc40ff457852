// EFI_CONSOLE_CONTROL_PROTOCOL with a screen mode, installed only when a test asks for it;
// declare it after the Firmware. Every GetMode and SetMode call is recorded, with the virtual
// clock at the time, so that a test can tell what was paused before a switch.
#pragma once

#include <vector>

#include "boot/efi/console-control.h"
#include "fakefw/tcg-log.h"

namespace fakefw {

class Firmware;

struct ConsoleControlCall {
    enum Kind { GetMode, SetMode } kind;
    EFI_CONSOLE_CONTROL_SCREEN_MODE mode; // the mode reported or asked for
    UINT64 stalled_us;                    // Clock::stalled_us() when the call came
    EFI_STATUS status;
};

class ConsoleControl {
public:
    ConsoleControl(Firmware &fw, EFI_CONSOLE_CONTROL_SCREEN_MODE mode = EfiConsoleControlScreenText);
    ~ConsoleControl();
    ConsoleControl(const ConsoleControl &) = delete;
    ConsoleControl &operator=(const ConsoleControl &) = delete;

    EFI_HANDLE install();
    void uninstall();
    EFI_CONSOLE_CONTROL_PROTOCOL *protocol() { return &interface_.protocol; }

    EFI_CONSOLE_CONTROL_SCREEN_MODE mode() const { return mode_; }
    const std::vector<ConsoleControlCall> &calls() const { return calls_; }
    void fail_get_mode(EFI_STATUS status, unsigned after = 0, unsigned times = ALWAYS) {
        get_mode_fault_.fail(status, after, times);
    }
    // A failed SetMode leaves the mode as it was.
    void fail_set_mode(EFI_STATUS status, unsigned after = 0, unsigned times = ALWAYS) {
        set_mode_fault_.fail(status, after, times);
    }

    // Firmware side, called through the protocol.
    EFI_STATUS get_mode(EFI_CONSOLE_CONTROL_SCREEN_MODE *mode, BOOLEAN *adapter, BOOLEAN *input_locked);
    EFI_STATUS set_mode(EFI_CONSOLE_CONTROL_SCREEN_MODE mode);

private:
    EFI_STATUS record(ConsoleControlCall::Kind kind, EFI_CONSOLE_CONTROL_SCREEN_MODE mode, EFI_STATUS status);

    Firmware &fw_;
    OwnedInterface<EFI_CONSOLE_CONTROL_PROTOCOL, ConsoleControl> interface_ = {};
    EFI_HANDLE handle_ = nullptr;
    EFI_CONSOLE_CONTROL_SCREEN_MODE mode_;
    std::vector<ConsoleControlCall> calls_;
    FaultPlan get_mode_fault_;
    FaultPlan set_mode_fault_;
};

} // namespace fakefw
