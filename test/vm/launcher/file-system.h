// The simple file system and file protocols (UEFI 2.10, sections 13.4 and 13.5), as far as
// the launcher reads files, and the file path media node (section 10.3.5.4).
#pragma once

#include "boot/efi/device-path.h"
#include "boot/efi/types.h"

namespace korvane::vmtest {

constexpr EFI_GUID SIMPLE_FILE_SYSTEM_PROTOCOL = {
    0x964e5b22, 0x6459, 0x11d2, {0x8e, 0x39, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b}};

constexpr UINT64 EFI_FILE_MODE_READ = 0x1;

struct EFI_FILE_PROTOCOL {
    UINT64 Revision;
    EFI_STATUS(EFIAPI *Open)(EFI_FILE_PROTOCOL *This, EFI_FILE_PROTOCOL **NewHandle, const CHAR16 *FileName,
                             UINT64 OpenMode, UINT64 Attributes);
    EFI_STATUS(EFIAPI *Close)(EFI_FILE_PROTOCOL *This);
    EFI_STATUS(EFIAPI *Delete)(EFI_FILE_PROTOCOL *This);
    EFI_STATUS(EFIAPI *Read)(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer);
    EFI_STATUS(EFIAPI *Write)(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer);
    EFI_STATUS(EFIAPI *GetPosition)(EFI_FILE_PROTOCOL *This, UINT64 *Position);
    EFI_STATUS(EFIAPI *SetPosition)(EFI_FILE_PROTOCOL *This, UINT64 Position);
    EFI_STATUS(EFIAPI *GetInfo)(EFI_FILE_PROTOCOL *This, const EFI_GUID *InformationType, UINTN *BufferSize,
                                VOID *Buffer);
    EFI_STATUS(EFIAPI *SetInfo)(EFI_FILE_PROTOCOL *This, const EFI_GUID *InformationType, UINTN BufferSize,
                                VOID *Buffer);
    EFI_STATUS(EFIAPI *Flush)(EFI_FILE_PROTOCOL *This);
};
static_assert(sizeof(EFI_FILE_PROTOCOL) == 88);
static_assert(offsetof(EFI_FILE_PROTOCOL, Open) == 8);
static_assert(offsetof(EFI_FILE_PROTOCOL, Close) == 16);
static_assert(offsetof(EFI_FILE_PROTOCOL, Read) == 32);

struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL {
    UINT64 Revision;
    EFI_STATUS(EFIAPI *OpenVolume)(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *This, EFI_FILE_PROTOCOL **Root);
};
static_assert(sizeof(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL) == 16);

constexpr UINT8 MEDIA_FILEPATH_DP = 0x04;

} // namespace korvane::vmtest
