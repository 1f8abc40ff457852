// Every firmware member fakefw puts in a table, named for fault injection, call counts and
// failure messages. One list, so the enum, the names and the unimplemented fillers agree.
#pragma once

#include <climits>

#include "boot/efi/block-io.h"
#include "boot/efi/efi.h"
#include "boot/efi/rng.h"

// X(service, table type, member), in table order.
#define FAKEFW_SERVICES(X)                                                                                             \
    X(RaiseTPL, EFI_BOOT_SERVICES, RaiseTPL)                                                                           \
    X(RestoreTPL, EFI_BOOT_SERVICES, RestoreTPL)                                                                       \
    X(AllocatePages, EFI_BOOT_SERVICES, AllocatePages)                                                                 \
    X(FreePages, EFI_BOOT_SERVICES, FreePages)                                                                         \
    X(GetMemoryMap, EFI_BOOT_SERVICES, GetMemoryMap)                                                                   \
    X(AllocatePool, EFI_BOOT_SERVICES, AllocatePool)                                                                   \
    X(FreePool, EFI_BOOT_SERVICES, FreePool)                                                                           \
    X(CreateEvent, EFI_BOOT_SERVICES, CreateEvent)                                                                     \
    X(SetTimer, EFI_BOOT_SERVICES, SetTimer)                                                                           \
    X(WaitForEvent, EFI_BOOT_SERVICES, WaitForEvent)                                                                   \
    X(SignalEvent, EFI_BOOT_SERVICES, SignalEvent)                                                                     \
    X(CloseEvent, EFI_BOOT_SERVICES, CloseEvent)                                                                       \
    X(CheckEvent, EFI_BOOT_SERVICES, CheckEvent)                                                                       \
    X(InstallProtocolInterface, EFI_BOOT_SERVICES, InstallProtocolInterface)                                           \
    X(ReinstallProtocolInterface, EFI_BOOT_SERVICES, ReinstallProtocolInterface)                                       \
    X(UninstallProtocolInterface, EFI_BOOT_SERVICES, UninstallProtocolInterface)                                       \
    X(HandleProtocol, EFI_BOOT_SERVICES, HandleProtocol)                                                               \
    X(RegisterProtocolNotify, EFI_BOOT_SERVICES, RegisterProtocolNotify)                                               \
    X(LocateHandle, EFI_BOOT_SERVICES, LocateHandle)                                                                   \
    X(LocateDevicePath, EFI_BOOT_SERVICES, LocateDevicePath)                                                           \
    X(InstallConfigurationTable, EFI_BOOT_SERVICES, InstallConfigurationTable)                                         \
    X(LoadImage, EFI_BOOT_SERVICES, LoadImage)                                                                         \
    X(StartImage, EFI_BOOT_SERVICES, StartImage)                                                                       \
    X(Exit, EFI_BOOT_SERVICES, Exit)                                                                                   \
    X(UnloadImage, EFI_BOOT_SERVICES, UnloadImage)                                                                     \
    X(ExitBootServices, EFI_BOOT_SERVICES, ExitBootServices)                                                           \
    X(GetNextMonotonicCount, EFI_BOOT_SERVICES, GetNextMonotonicCount)                                                 \
    X(Stall, EFI_BOOT_SERVICES, Stall)                                                                                 \
    X(SetWatchdogTimer, EFI_BOOT_SERVICES, SetWatchdogTimer)                                                           \
    X(ConnectController, EFI_BOOT_SERVICES, ConnectController)                                                         \
    X(DisconnectController, EFI_BOOT_SERVICES, DisconnectController)                                                   \
    X(OpenProtocol, EFI_BOOT_SERVICES, OpenProtocol)                                                                   \
    X(CloseProtocol, EFI_BOOT_SERVICES, CloseProtocol)                                                                 \
    X(OpenProtocolInformation, EFI_BOOT_SERVICES, OpenProtocolInformation)                                             \
    X(ProtocolsPerHandle, EFI_BOOT_SERVICES, ProtocolsPerHandle)                                                       \
    X(LocateHandleBuffer, EFI_BOOT_SERVICES, LocateHandleBuffer)                                                       \
    X(LocateProtocol, EFI_BOOT_SERVICES, LocateProtocol)                                                               \
    X(InstallMultipleProtocolInterfaces, EFI_BOOT_SERVICES, InstallMultipleProtocolInterfaces)                         \
    X(UninstallMultipleProtocolInterfaces, EFI_BOOT_SERVICES, UninstallMultipleProtocolInterfaces)                     \
    X(CalculateCrc32, EFI_BOOT_SERVICES, CalculateCrc32)                                                               \
    X(CopyMem, EFI_BOOT_SERVICES, CopyMem)                                                                             \
    X(SetMem, EFI_BOOT_SERVICES, SetMem)                                                                               \
    X(CreateEventEx, EFI_BOOT_SERVICES, CreateEventEx)                                                                 \
    X(GetTime, EFI_RUNTIME_SERVICES, GetTime)                                                                          \
    X(SetTime, EFI_RUNTIME_SERVICES, SetTime)                                                                          \
    X(GetWakeupTime, EFI_RUNTIME_SERVICES, GetWakeupTime)                                                              \
    X(SetWakeupTime, EFI_RUNTIME_SERVICES, SetWakeupTime)                                                              \
    X(SetVirtualAddressMap, EFI_RUNTIME_SERVICES, SetVirtualAddressMap)                                                \
    X(ConvertPointer, EFI_RUNTIME_SERVICES, ConvertPointer)                                                            \
    X(GetVariable, EFI_RUNTIME_SERVICES, GetVariable)                                                                  \
    X(GetNextVariableName, EFI_RUNTIME_SERVICES, GetNextVariableName)                                                  \
    X(SetVariable, EFI_RUNTIME_SERVICES, SetVariable)                                                                  \
    X(GetNextHighMonotonicCount, EFI_RUNTIME_SERVICES, GetNextHighMonotonicCount)                                      \
    X(ResetSystem, EFI_RUNTIME_SERVICES, ResetSystem)                                                                  \
    X(UpdateCapsule, EFI_RUNTIME_SERVICES, UpdateCapsule)                                                              \
    X(QueryCapsuleCapabilities, EFI_RUNTIME_SERVICES, QueryCapsuleCapabilities)                                        \
    X(QueryVariableInfo, EFI_RUNTIME_SERVICES, QueryVariableInfo)                                                      \
    X(ConOutReset, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, Reset)                                                             \
    X(ConOutOutputString, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, OutputString)                                               \
    X(ConOutTestString, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, TestString)                                                   \
    X(ConOutQueryMode, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, QueryMode)                                                     \
    X(ConOutSetMode, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, SetMode)                                                         \
    X(ConOutSetAttribute, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, SetAttribute)                                               \
    X(ConOutClearScreen, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, ClearScreen)                                                 \
    X(ConOutSetCursorPosition, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, SetCursorPosition)                                     \
    X(ConOutEnableCursor, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, EnableCursor)                                               \
    X(RngGetInfo, EFI_RNG_PROTOCOL, GetInfo)                                                                           \
    X(RngGetRNG, EFI_RNG_PROTOCOL, GetRNG)                                                                             \
    X(BlockIoReset, EFI_BLOCK_IO_PROTOCOL, Reset)                                                                      \
    X(BlockIoReadBlocks, EFI_BLOCK_IO_PROTOCOL, ReadBlocks)                                                            \
    X(BlockIoWriteBlocks, EFI_BLOCK_IO_PROTOCOL, WriteBlocks)                                                          \
    X(BlockIoFlushBlocks, EFI_BLOCK_IO_PROTOCOL, FlushBlocks)

namespace fakefw {

enum class Service : unsigned {
#define FAKEFW_SERVICE_ENUM(service, table, member) service,
    FAKEFW_SERVICES(FAKEFW_SERVICE_ENUM)
#undef FAKEFW_SERVICE_ENUM
};

#define FAKEFW_SERVICE_COUNT(service, table, member) +1
inline constexpr unsigned SERVICE_COUNT = 0 FAKEFW_SERVICES(FAKEFW_SERVICE_COUNT);
#undef FAKEFW_SERVICE_COUNT

// The member's name, with the protocol prefix for protocol members ("ConOutOutputString").
const char *service_name(Service service);

// Whether the member returns an EFI_STATUS, so that a fault can be injected into it.
bool service_returns_status(Service service);

// For Faults::fail: keep failing until told otherwise.
inline constexpr unsigned ALWAYS = UINT_MAX;

} // namespace fakefw
