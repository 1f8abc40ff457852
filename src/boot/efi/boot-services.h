// EFI_BOOT_SERVICES (UEFI 2.10, section 4.4), every member in table order.
#pragma once

#include "device-path.h"
#include "types.h"

constexpr UINT64 EFI_BOOT_SERVICES_SIGNATURE = 0x56524553544f4f42ULL;

// UEFI 2.10, section 7.2.3.
struct EFI_MEMORY_DESCRIPTOR {
    UINT32 Type;
    EFI_PHYSICAL_ADDRESS PhysicalStart;
    EFI_VIRTUAL_ADDRESS VirtualStart;
    UINT64 NumberOfPages;
    UINT64 Attribute;
};
static_assert(sizeof(EFI_MEMORY_DESCRIPTOR) == 40);

enum EFI_TIMER_DELAY : UINT32 { TimerCancel, TimerPeriodic, TimerRelative };
enum EFI_INTERFACE_TYPE : UINT32 { EFI_NATIVE_INTERFACE };
enum EFI_LOCATE_SEARCH_TYPE : UINT32 { AllHandles, ByRegisterNotify, ByProtocol };

struct EFI_OPEN_PROTOCOL_INFORMATION_ENTRY {
    EFI_HANDLE AgentHandle;
    EFI_HANDLE ControllerHandle;
    UINT32 Attributes;
    UINT32 OpenCount;
};
static_assert(sizeof(EFI_OPEN_PROTOCOL_INFORMATION_ENTRY) == 24);
static_assert(offsetof(EFI_OPEN_PROTOCOL_INFORMATION_ENTRY, Attributes) == 16);

constexpr UINT32 EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL = 0x01;
constexpr UINT32 EFI_OPEN_PROTOCOL_GET_PROTOCOL = 0x02;

typedef VOID(EFIAPI *EFI_EVENT_NOTIFY)(EFI_EVENT Event, VOID *Context);

struct EFI_BOOT_SERVICES {
    EFI_TABLE_HEADER Hdr;

    EFI_TPL(EFIAPI *RaiseTPL)(EFI_TPL NewTpl);
    VOID(EFIAPI *RestoreTPL)(EFI_TPL OldTpl);

    EFI_STATUS(EFIAPI *AllocatePages)(EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE MemoryType, UINTN Pages,
                                      EFI_PHYSICAL_ADDRESS *Memory);
    EFI_STATUS(EFIAPI *FreePages)(EFI_PHYSICAL_ADDRESS Memory, UINTN Pages);
    EFI_STATUS(EFIAPI *GetMemoryMap)(UINTN *MemoryMapSize, EFI_MEMORY_DESCRIPTOR *MemoryMap, UINTN *MapKey,
                                     UINTN *DescriptorSize, UINT32 *DescriptorVersion);
    EFI_STATUS(EFIAPI *AllocatePool)(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer);
    EFI_STATUS(EFIAPI *FreePool)(VOID *Buffer);

    EFI_STATUS(EFIAPI *CreateEvent)(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                                    VOID *NotifyContext, EFI_EVENT *Event);
    EFI_STATUS(EFIAPI *SetTimer)(EFI_EVENT Event, EFI_TIMER_DELAY Type, UINT64 TriggerTime);
    EFI_STATUS(EFIAPI *WaitForEvent)(UINTN NumberOfEvents, EFI_EVENT *Event, UINTN *Index);
    EFI_STATUS(EFIAPI *SignalEvent)(EFI_EVENT Event);
    EFI_STATUS(EFIAPI *CloseEvent)(EFI_EVENT Event);
    EFI_STATUS(EFIAPI *CheckEvent)(EFI_EVENT Event);

    EFI_STATUS(EFIAPI *InstallProtocolInterface)(EFI_HANDLE *Handle, const EFI_GUID *Protocol,
                                                 EFI_INTERFACE_TYPE InterfaceType, VOID *Interface);
    EFI_STATUS(EFIAPI *ReinstallProtocolInterface)(EFI_HANDLE Handle, const EFI_GUID *Protocol,
                                                   VOID *OldInterface, VOID *NewInterface);
    EFI_STATUS(EFIAPI *UninstallProtocolInterface)(EFI_HANDLE Handle, const EFI_GUID *Protocol,
                                                   VOID *Interface);
    EFI_STATUS(EFIAPI *HandleProtocol)(EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID **Interface);
    VOID *Reserved;
    EFI_STATUS(EFIAPI *RegisterProtocolNotify)(const EFI_GUID *Protocol, EFI_EVENT Event, VOID **Registration);
    EFI_STATUS(EFIAPI *LocateHandle)(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol,
                                     VOID *SearchKey, UINTN *BufferSize, EFI_HANDLE *Buffer);
    EFI_STATUS(EFIAPI *LocateDevicePath)(const EFI_GUID *Protocol, EFI_DEVICE_PATH_PROTOCOL **DevicePath,
                                         EFI_HANDLE *Device);
    EFI_STATUS(EFIAPI *InstallConfigurationTable)(const EFI_GUID *Guid, VOID *Table);

    EFI_STATUS(EFIAPI *LoadImage)(BOOLEAN BootPolicy, EFI_HANDLE ParentImageHandle,
                                  EFI_DEVICE_PATH_PROTOCOL *DevicePath, VOID *SourceBuffer, UINTN SourceSize,
                                  EFI_HANDLE *ImageHandle);
    EFI_STATUS(EFIAPI *StartImage)(EFI_HANDLE ImageHandle, UINTN *ExitDataSize, CHAR16 **ExitData);
    EFI_STATUS(EFIAPI *Exit)(EFI_HANDLE ImageHandle, EFI_STATUS ExitStatus, UINTN ExitDataSize,
                             CHAR16 *ExitData);
    EFI_STATUS(EFIAPI *UnloadImage)(EFI_HANDLE ImageHandle);
    EFI_STATUS(EFIAPI *ExitBootServices)(EFI_HANDLE ImageHandle, UINTN MapKey);

    EFI_STATUS(EFIAPI *GetNextMonotonicCount)(UINT64 *Count);
    EFI_STATUS(EFIAPI *Stall)(UINTN Microseconds);
    EFI_STATUS(EFIAPI *SetWatchdogTimer)(UINTN Timeout, UINT64 WatchdogCode, UINTN DataSize,
                                         CHAR16 *WatchdogData);

    EFI_STATUS(EFIAPI *ConnectController)(EFI_HANDLE ControllerHandle, EFI_HANDLE *DriverImageHandle,
                                          EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath, BOOLEAN Recursive);
    EFI_STATUS(EFIAPI *DisconnectController)(EFI_HANDLE ControllerHandle, EFI_HANDLE DriverImageHandle,
                                             EFI_HANDLE ChildHandle);

    EFI_STATUS(EFIAPI *OpenProtocol)(EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID **Interface,
                                     EFI_HANDLE AgentHandle, EFI_HANDLE ControllerHandle, UINT32 Attributes);
    EFI_STATUS(EFIAPI *CloseProtocol)(EFI_HANDLE Handle, const EFI_GUID *Protocol, EFI_HANDLE AgentHandle,
                                      EFI_HANDLE ControllerHandle);
    EFI_STATUS(EFIAPI *OpenProtocolInformation)(EFI_HANDLE Handle, const EFI_GUID *Protocol,
                                                EFI_OPEN_PROTOCOL_INFORMATION_ENTRY **EntryBuffer,
                                                UINTN *EntryCount);

    EFI_STATUS(EFIAPI *ProtocolsPerHandle)(EFI_HANDLE Handle, EFI_GUID ***ProtocolBuffer,
                                           UINTN *ProtocolBufferCount);
    EFI_STATUS(EFIAPI *LocateHandleBuffer)(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol,
                                           VOID *SearchKey, UINTN *NoHandles, EFI_HANDLE **Buffer);
    EFI_STATUS(EFIAPI *LocateProtocol)(const EFI_GUID *Protocol, VOID *Registration, VOID **Interface);
    EFI_STATUS(EFIAPI *InstallMultipleProtocolInterfaces)(EFI_HANDLE *Handle, ...);
    EFI_STATUS(EFIAPI *UninstallMultipleProtocolInterfaces)(EFI_HANDLE Handle, ...);

    EFI_STATUS(EFIAPI *CalculateCrc32)(const VOID *Data, UINTN DataSize, UINT32 *Crc32);

    VOID(EFIAPI *CopyMem)(VOID *Destination, const VOID *Source, UINTN Length);
    VOID(EFIAPI *SetMem)(VOID *Buffer, UINTN Size, UINT8 Value);
    EFI_STATUS(EFIAPI *CreateEventEx)(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                                      const VOID *NotifyContext, const EFI_GUID *EventGroup, EFI_EVENT *Event);
};
static_assert(sizeof(EFI_BOOT_SERVICES) == 376);
static_assert(offsetof(EFI_BOOT_SERVICES, RaiseTPL) == 24);
static_assert(offsetof(EFI_BOOT_SERVICES, AllocatePages) == 40);
static_assert(offsetof(EFI_BOOT_SERVICES, FreePages) == 48);
static_assert(offsetof(EFI_BOOT_SERVICES, AllocatePool) == 64);
static_assert(offsetof(EFI_BOOT_SERVICES, FreePool) == 72);
static_assert(offsetof(EFI_BOOT_SERVICES, InstallProtocolInterface) == 128);
static_assert(offsetof(EFI_BOOT_SERVICES, HandleProtocol) == 152);
static_assert(offsetof(EFI_BOOT_SERVICES, LocateDevicePath) == 184);
static_assert(offsetof(EFI_BOOT_SERVICES, InstallConfigurationTable) == 192);
static_assert(offsetof(EFI_BOOT_SERVICES, LoadImage) == 200);
static_assert(offsetof(EFI_BOOT_SERVICES, StartImage) == 208);
static_assert(offsetof(EFI_BOOT_SERVICES, UnloadImage) == 224);
static_assert(offsetof(EFI_BOOT_SERVICES, GetNextMonotonicCount) == 240);
static_assert(offsetof(EFI_BOOT_SERVICES, Stall) == 248);
static_assert(offsetof(EFI_BOOT_SERVICES, ConnectController) == 264);
static_assert(offsetof(EFI_BOOT_SERVICES, OpenProtocol) == 280);
static_assert(offsetof(EFI_BOOT_SERVICES, LocateHandleBuffer) == 312);
static_assert(offsetof(EFI_BOOT_SERVICES, LocateProtocol) == 320);
static_assert(offsetof(EFI_BOOT_SERVICES, InstallMultipleProtocolInterfaces) == 328);
static_assert(offsetof(EFI_BOOT_SERVICES, UninstallMultipleProtocolInterfaces) == 336);
static_assert(offsetof(EFI_BOOT_SERVICES, CalculateCrc32) == 344);
static_assert(offsetof(EFI_BOOT_SERVICES, CopyMem) == 352);
static_assert(offsetof(EFI_BOOT_SERVICES, SetMem) == 360);
static_assert(offsetof(EFI_BOOT_SERVICES, CreateEventEx) == 368);
