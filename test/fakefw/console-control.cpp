#include "fakefw/console-control.h"

#include <gtest/gtest.h>

#include "fakefw/fakefw.h"

namespace fakefw {

namespace {

using Interface = OwnedInterface<EFI_CONSOLE_CONTROL_PROTOCOL, ConsoleControl>;

ConsoleControl *owner(EFI_CONSOLE_CONTROL_PROTOCOL *This) { return Interface::of(This, "console-control"); }

EFI_STATUS EFIAPI get_mode(EFI_CONSOLE_CONTROL_PROTOCOL *This, EFI_CONSOLE_CONTROL_SCREEN_MODE *mode,
                           BOOLEAN *adapter, BOOLEAN *input_locked) {
    ConsoleControl *control = owner(This);
    return control ? control->get_mode(mode, adapter, input_locked) : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI set_mode(EFI_CONSOLE_CONTROL_PROTOCOL *This, EFI_CONSOLE_CONTROL_SCREEN_MODE mode) {
    ConsoleControl *control = owner(This);
    return control ? control->set_mode(mode) : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI lock_std_in(EFI_CONSOLE_CONTROL_PROTOCOL *, CHAR16 *) {
    ADD_FAILURE() << "fakefw: console-control LockStdIn is not implemented";
    return EFI_UNSUPPORTED;
}

} // namespace

ConsoleControl::ConsoleControl(Firmware &fw, EFI_CONSOLE_CONTROL_SCREEN_MODE mode) : fw_(fw), mode_(mode) {
    interface_.protocol = EFI_CONSOLE_CONTROL_PROTOCOL{
        .GetMode = fakefw::get_mode,
        .SetMode = fakefw::set_mode,
        .LockStdIn = lock_std_in,
    };
    interface_.owner = this;
}

ConsoleControl::~ConsoleControl() {
    if (handle_)
        uninstall();
}

EFI_HANDLE ConsoleControl::install() {
    if (handle_) {
        ADD_FAILURE() << "fakefw: the console-control protocol is already installed";
        return handle_;
    }
    handle_ = fw_.handles().install(nullptr, EFI_CONSOLE_CONTROL_PROTOCOL_GUID, protocol());
    return handle_;
}

void ConsoleControl::uninstall() {
    if (!handle_) {
        ADD_FAILURE() << "fakefw: the console-control protocol is not installed";
        return;
    }
    fw_.handles().uninstall(handle_, EFI_CONSOLE_CONTROL_PROTOCOL_GUID);
    handle_ = nullptr;
}

EFI_STATUS ConsoleControl::record(ConsoleControlCall::Kind kind, EFI_CONSOLE_CONTROL_SCREEN_MODE mode,
                                  EFI_STATUS status) {
    calls_.push_back(ConsoleControlCall{kind, mode, fw_.clock().stalled_us(), status});
    return status;
}

EFI_STATUS ConsoleControl::get_mode(EFI_CONSOLE_CONTROL_SCREEN_MODE *mode, BOOLEAN *adapter, BOOLEAN *input_locked) {
    if (auto injected = get_mode_fault_.enter())
        return record(ConsoleControlCall::GetMode, mode_, *injected);
    if (!mode)
        return record(ConsoleControlCall::GetMode, mode_, EFI_INVALID_PARAMETER);
    *mode = mode_;
    if (adapter)
        *adapter = true;
    if (input_locked)
        *input_locked = false;
    return record(ConsoleControlCall::GetMode, mode_, EFI_SUCCESS);
}

EFI_STATUS ConsoleControl::set_mode(EFI_CONSOLE_CONTROL_SCREEN_MODE mode) {
    if (auto injected = set_mode_fault_.enter())
        return record(ConsoleControlCall::SetMode, mode, *injected);
    if (mode >= EfiConsoleControlScreenMaxValue)
        return record(ConsoleControlCall::SetMode, mode, EFI_INVALID_PARAMETER);
    mode_ = mode;
    return record(ConsoleControlCall::SetMode, mode, EFI_SUCCESS);
}

} // namespace fakefw
