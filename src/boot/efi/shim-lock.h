// The lock protocol of the shim first-stage loader. Only its verify member is used; it is
// called with the System V convention, not the UEFI one.
#pragma once

#include "types.h"

constexpr EFI_GUID SHIM_LOCK_PROTOCOL_GUID = {
    0x605dab50, 0xe046, 0x4300, {0xab, 0xb6, 0x3d, 0xd8, 0x10, 0xdd, 0x8b, 0x23}};

struct SHIM_LOCK_PROTOCOL {
    EFI_STATUS(__attribute__((sysv_abi)) * Verify)(const VOID *buffer, UINT32 size);
    VOID *Hash;
    VOID *Context;
};
static_assert(sizeof(SHIM_LOCK_PROTOCOL) == 24);
