// The image authentication hooks of the UEFI Platform Initialization specification
// (volume 2, sections 12.8 and 12.9): EFI_SECURITY_ARCH_PROTOCOL and EFI_SECURITY2_ARCH_PROTOCOL.
#pragma once

#include "device-path.h"
#include "types.h"

constexpr EFI_GUID EFI_SECURITY_ARCH_PROTOCOL_GUID = {
    0xa46423e3, 0x4617, 0x49f1, {0xb9, 0xff, 0xd1, 0xbf, 0xa9, 0x11, 0x58, 0x39}};
constexpr EFI_GUID EFI_SECURITY2_ARCH_PROTOCOL_GUID = {
    0x94ab2f58, 0x1438, 0x4ef1, {0x91, 0x52, 0x18, 0x94, 0x1a, 0x3a, 0x0e, 0x68}};

struct EFI_SECURITY_ARCH_PROTOCOL;
struct EFI_SECURITY2_ARCH_PROTOCOL;

typedef EFI_STATUS(EFIAPI *EFI_SECURITY_FILE_AUTHENTICATION_STATE)(const EFI_SECURITY_ARCH_PROTOCOL *This,
                                                                   UINT32 AuthenticationStatus,
                                                                   const EFI_DEVICE_PATH_PROTOCOL *File);
typedef EFI_STATUS(EFIAPI *EFI_SECURITY2_FILE_AUTHENTICATION)(const EFI_SECURITY2_ARCH_PROTOCOL *This,
                                                              const EFI_DEVICE_PATH_PROTOCOL *DevicePath,
                                                              VOID *FileBuffer, UINTN FileSize,
                                                              BOOLEAN BootPolicy);

struct EFI_SECURITY_ARCH_PROTOCOL {
    EFI_SECURITY_FILE_AUTHENTICATION_STATE FileAuthenticationState;
};
static_assert(sizeof(EFI_SECURITY_ARCH_PROTOCOL) == 8);

struct EFI_SECURITY2_ARCH_PROTOCOL {
    EFI_SECURITY2_FILE_AUTHENTICATION FileAuthentication;
};
static_assert(sizeof(EFI_SECURITY2_ARCH_PROTOCOL) == 8);
