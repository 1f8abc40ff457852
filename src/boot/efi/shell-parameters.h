// EFI_SHELL_PARAMETERS_PROTOCOL (UEFI Shell 2.2, section 2.3): the arguments a shell passes.
#pragma once

#include "types.h"

constexpr EFI_GUID EFI_SHELL_PARAMETERS_PROTOCOL_GUID = {
    0x752f3136, 0x4e16, 0x4fdc, {0xa2, 0x2a, 0xe5, 0xf4, 0x68, 0x12, 0xf4, 0xca}};

struct EFI_SHELL_PARAMETERS_PROTOCOL {
    CHAR16 **Argv;
    UINTN Argc;
    VOID *StdIn;
    VOID *StdOut;
    VOID *StdErr;
};
static_assert(sizeof(EFI_SHELL_PARAMETERS_PROTOCOL) == 40);
static_assert(offsetof(EFI_SHELL_PARAMETERS_PROTOCOL, Argc) == 8);
