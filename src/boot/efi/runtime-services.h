// EFI_RUNTIME_SERVICES (UEFI 2.10, section 4.5), every member in table order.
#pragma once

#include "types.h"

constexpr UINT64 EFI_RUNTIME_SERVICES_SIGNATURE = 0x56524553544e5552ULL;

// UEFI 2.10, section 8.3.
struct EFI_TIME {
    UINT16 Year;
    UINT8 Month;
    UINT8 Day;
    UINT8 Hour;
    UINT8 Minute;
    UINT8 Second;
    UINT8 Pad1;
    UINT32 Nanosecond;
    INT16 TimeZone;
    UINT8 Daylight;
    UINT8 Pad2;
};
static_assert(sizeof(EFI_TIME) == 16);

struct EFI_TIME_CAPABILITIES {
    UINT32 Resolution;
    UINT32 Accuracy;
    BOOLEAN SetsToZero;
};
static_assert(sizeof(EFI_TIME_CAPABILITIES) == 12);
static_assert(offsetof(EFI_TIME_CAPABILITIES, SetsToZero) == 8);

enum EFI_RESET_TYPE : UINT32 { EfiResetCold, EfiResetWarm, EfiResetShutdown, EfiResetPlatformSpecific };

struct EFI_CAPSULE_HEADER {
    EFI_GUID CapsuleGuid;
    UINT32 HeaderSize;
    UINT32 Flags;
    UINT32 CapsuleImageSize;
};
static_assert(sizeof(EFI_CAPSULE_HEADER) == 28);
static_assert(offsetof(EFI_CAPSULE_HEADER, CapsuleImageSize) == 24);

// UEFI 2.10, section 8.2.
constexpr UINT32 EFI_VARIABLE_NON_VOLATILE = 0x01;
constexpr UINT32 EFI_VARIABLE_BOOTSERVICE_ACCESS = 0x02;
constexpr UINT32 EFI_VARIABLE_RUNTIME_ACCESS = 0x04;

struct EFI_RUNTIME_SERVICES {
    EFI_TABLE_HEADER Hdr;

    EFI_STATUS(EFIAPI *GetTime)(EFI_TIME *Time, EFI_TIME_CAPABILITIES *Capabilities);
    EFI_STATUS(EFIAPI *SetTime)(EFI_TIME *Time);
    EFI_STATUS(EFIAPI *GetWakeupTime)(BOOLEAN *Enabled, BOOLEAN *Pending, EFI_TIME *Time);
    EFI_STATUS(EFIAPI *SetWakeupTime)(BOOLEAN Enable, EFI_TIME *Time);

    EFI_STATUS(EFIAPI *SetVirtualAddressMap)(UINTN MemoryMapSize, UINTN DescriptorSize,
                                             UINT32 DescriptorVersion, VOID *VirtualMap);
    EFI_STATUS(EFIAPI *ConvertPointer)(UINTN DebugDisposition, VOID **Address);

    EFI_STATUS(EFIAPI *GetVariable)(const CHAR16 *VariableName, const EFI_GUID *VendorGuid, UINT32 *Attributes,
                                    UINTN *DataSize, VOID *Data);
    EFI_STATUS(EFIAPI *GetNextVariableName)(UINTN *VariableNameSize, CHAR16 *VariableName,
                                            EFI_GUID *VendorGuid);
    EFI_STATUS(EFIAPI *SetVariable)(const CHAR16 *VariableName, const EFI_GUID *VendorGuid, UINT32 Attributes,
                                    UINTN DataSize, const VOID *Data);

    EFI_STATUS(EFIAPI *GetNextHighMonotonicCount)(UINT32 *HighCount);
    VOID(EFIAPI *ResetSystem)(EFI_RESET_TYPE ResetType, EFI_STATUS ResetStatus, UINTN DataSize,
                              VOID *ResetData);

    EFI_STATUS(EFIAPI *UpdateCapsule)(EFI_CAPSULE_HEADER **CapsuleHeaderArray, UINTN CapsuleCount,
                                      EFI_PHYSICAL_ADDRESS ScatterGatherList);
    EFI_STATUS(EFIAPI *QueryCapsuleCapabilities)(EFI_CAPSULE_HEADER **CapsuleHeaderArray, UINTN CapsuleCount,
                                                 UINT64 *MaximumCapsuleSize, EFI_RESET_TYPE *ResetType);
    EFI_STATUS(EFIAPI *QueryVariableInfo)(UINT32 Attributes, UINT64 *MaximumVariableStorageSize,
                                          UINT64 *RemainingVariableStorageSize, UINT64 *MaximumVariableSize);
};
static_assert(sizeof(EFI_RUNTIME_SERVICES) == 136);
static_assert(offsetof(EFI_RUNTIME_SERVICES, GetTime) == 24);
static_assert(offsetof(EFI_RUNTIME_SERVICES, GetVariable) == 72);
static_assert(offsetof(EFI_RUNTIME_SERVICES, SetVariable) == 88);
static_assert(offsetof(EFI_RUNTIME_SERVICES, QueryVariableInfo) == 128);
