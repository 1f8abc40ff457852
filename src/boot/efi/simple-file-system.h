// EFI_SIMPLE_FILE_SYSTEM_PROTOCOL and EFI_FILE_PROTOCOL (UEFI 2.10, sections 13.4 and 13.5),
// every member in table order, and the EFI_FILE_INFO record (section 13.5.16).
#pragma once

#include "runtime-services.h"
#include "types.h"

constexpr EFI_GUID EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID = {
    0x964e5b22, 0x6459, 0x11d2, {0x8e, 0x39, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b}};
constexpr EFI_GUID EFI_FILE_INFO_ID = {0x09576e92, 0x6d3f, 0x11d2, {0x8e, 0x39, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b}};

constexpr UINT64 EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_REVISION = 0x00010000;
constexpr UINT64 EFI_FILE_PROTOCOL_REVISION = 0x00010000;
constexpr UINT64 EFI_FILE_PROTOCOL_REVISION2 = 0x00020000;

// Open modes: read, read and write, or read, write and create.
constexpr UINT64 EFI_FILE_MODE_READ = 0x0000000000000001ULL;
constexpr UINT64 EFI_FILE_MODE_WRITE = 0x0000000000000002ULL;
constexpr UINT64 EFI_FILE_MODE_CREATE = 0x8000000000000000ULL;

// File attributes.
constexpr UINT64 EFI_FILE_READ_ONLY = 0x01;
constexpr UINT64 EFI_FILE_HIDDEN = 0x02;
constexpr UINT64 EFI_FILE_SYSTEM = 0x04;
constexpr UINT64 EFI_FILE_RESERVED = 0x08;
constexpr UINT64 EFI_FILE_DIRECTORY = 0x10;
constexpr UINT64 EFI_FILE_ARCHIVE = 0x20;
constexpr UINT64 EFI_FILE_VALID_ATTR = 0x37;

struct EFI_FILE_IO_TOKEN {
    EFI_EVENT Event;
    EFI_STATUS Status;
    UINTN BufferSize;
    VOID *Buffer;
};
static_assert(sizeof(EFI_FILE_IO_TOKEN) == 32);

struct EFI_FILE_PROTOCOL {
    UINT64 Revision;
    EFI_STATUS(EFIAPI *Open)(EFI_FILE_PROTOCOL *This, EFI_FILE_PROTOCOL **NewHandle, const CHAR16 *FileName,
                             UINT64 OpenMode, UINT64 Attributes);
    EFI_STATUS(EFIAPI *Close)(EFI_FILE_PROTOCOL *This);
    EFI_STATUS(EFIAPI *Delete)(EFI_FILE_PROTOCOL *This);
    EFI_STATUS(EFIAPI *Read)(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer);
    EFI_STATUS(EFIAPI *Write)(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, const VOID *Buffer);
    EFI_STATUS(EFIAPI *GetPosition)(EFI_FILE_PROTOCOL *This, UINT64 *Position);
    EFI_STATUS(EFIAPI *SetPosition)(EFI_FILE_PROTOCOL *This, UINT64 Position);
    EFI_STATUS(EFIAPI *GetInfo)(EFI_FILE_PROTOCOL *This, const EFI_GUID *InformationType, UINTN *BufferSize,
                                VOID *Buffer);
    EFI_STATUS(EFIAPI *SetInfo)(EFI_FILE_PROTOCOL *This, const EFI_GUID *InformationType, UINTN BufferSize,
                                const VOID *Buffer);
    EFI_STATUS(EFIAPI *Flush)(EFI_FILE_PROTOCOL *This);
    EFI_STATUS(EFIAPI *OpenEx)(EFI_FILE_PROTOCOL *This, EFI_FILE_PROTOCOL **NewHandle, const CHAR16 *FileName,
                               UINT64 OpenMode, UINT64 Attributes, EFI_FILE_IO_TOKEN *Token);
    EFI_STATUS(EFIAPI *ReadEx)(EFI_FILE_PROTOCOL *This, EFI_FILE_IO_TOKEN *Token);
    EFI_STATUS(EFIAPI *WriteEx)(EFI_FILE_PROTOCOL *This, EFI_FILE_IO_TOKEN *Token);
    EFI_STATUS(EFIAPI *FlushEx)(EFI_FILE_PROTOCOL *This, EFI_FILE_IO_TOKEN *Token);
};
static_assert(sizeof(EFI_FILE_PROTOCOL) == 120);
static_assert(offsetof(EFI_FILE_PROTOCOL, Open) == 8);
static_assert(offsetof(EFI_FILE_PROTOCOL, Close) == 16);
static_assert(offsetof(EFI_FILE_PROTOCOL, Delete) == 24);
static_assert(offsetof(EFI_FILE_PROTOCOL, Read) == 32);
static_assert(offsetof(EFI_FILE_PROTOCOL, Write) == 40);
static_assert(offsetof(EFI_FILE_PROTOCOL, GetPosition) == 48);
static_assert(offsetof(EFI_FILE_PROTOCOL, SetPosition) == 56);
static_assert(offsetof(EFI_FILE_PROTOCOL, GetInfo) == 64);
static_assert(offsetof(EFI_FILE_PROTOCOL, SetInfo) == 72);
static_assert(offsetof(EFI_FILE_PROTOCOL, Flush) == 80);
static_assert(offsetof(EFI_FILE_PROTOCOL, OpenEx) == 88);
static_assert(offsetof(EFI_FILE_PROTOCOL, ReadEx) == 96);
static_assert(offsetof(EFI_FILE_PROTOCOL, WriteEx) == 104);
static_assert(offsetof(EFI_FILE_PROTOCOL, FlushEx) == 112);

struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL {
    UINT64 Revision;
    EFI_STATUS(EFIAPI *OpenVolume)(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *This, EFI_FILE_PROTOCOL **Root);
};
static_assert(sizeof(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL) == 16);
static_assert(offsetof(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL, OpenVolume) == 8);

// Size counts the whole record, FileName and its terminator included.
struct EFI_FILE_INFO {
    UINT64 Size;
    UINT64 FileSize;
    UINT64 PhysicalSize;
    EFI_TIME CreateTime;
    EFI_TIME LastAccessTime;
    EFI_TIME ModificationTime;
    UINT64 Attribute;
    CHAR16 FileName[];
};
static_assert(sizeof(EFI_FILE_INFO) == 80);
static_assert(offsetof(EFI_FILE_INFO, FileSize) == 8);
static_assert(offsetof(EFI_FILE_INFO, PhysicalSize) == 16);
static_assert(offsetof(EFI_FILE_INFO, CreateTime) == 24);
static_assert(offsetof(EFI_FILE_INFO, LastAccessTime) == 40);
static_assert(offsetof(EFI_FILE_INFO, ModificationTime) == 56);
static_assert(offsetof(EFI_FILE_INFO, Attribute) == 72);
static_assert(offsetof(EFI_FILE_INFO, FileName) == 80);
