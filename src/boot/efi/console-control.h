// EFI_CONSOLE_CONTROL_PROTOCOL: the pre-UEFI-2.0 screen mode switch of the EDK-era Intel
// Platform Innovation Framework, still found on older firmware (notably Apple's).
#pragma once

#include "types.h"

constexpr EFI_GUID EFI_CONSOLE_CONTROL_PROTOCOL_GUID = {
    0xf42f7782, 0x012e, 0x4c12, {0x99, 0x56, 0x49, 0xf9, 0x43, 0x04, 0xf7, 0x21}};

enum EFI_CONSOLE_CONTROL_SCREEN_MODE : UINT32 {
    EfiConsoleControlScreenText,
    EfiConsoleControlScreenGraphics,
    EfiConsoleControlScreenMaxValue,
};

struct EFI_CONSOLE_CONTROL_PROTOCOL {
    EFI_STATUS(EFIAPI *GetMode)(EFI_CONSOLE_CONTROL_PROTOCOL *This, EFI_CONSOLE_CONTROL_SCREEN_MODE *Mode,
                                BOOLEAN *GopUgaExists, BOOLEAN *StdInLocked);
    EFI_STATUS(EFIAPI *SetMode)(EFI_CONSOLE_CONTROL_PROTOCOL *This, EFI_CONSOLE_CONTROL_SCREEN_MODE Mode);
    EFI_STATUS(EFIAPI *LockStdIn)(EFI_CONSOLE_CONTROL_PROTOCOL *This, CHAR16 *Password);
};
static_assert(sizeof(EFI_CONSOLE_CONTROL_PROTOCOL) == 24);
static_assert(offsetof(EFI_CONSOLE_CONTROL_PROTOCOL, SetMode) == 8);
static_assert(offsetof(EFI_CONSOLE_CONTROL_PROTOCOL, LockStdIn) == 16);
