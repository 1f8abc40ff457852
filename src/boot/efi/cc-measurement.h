// EFI_CC_MEASUREMENT_PROTOCOL (UEFI 2.10, confidential computing): measurement into the registers of a
// confidential-computing environment, logged in the TCG2 event log format.
#pragma once

#include "tcg2.h"
#include "types.h"

constexpr EFI_GUID EFI_CC_MEASUREMENT_PROTOCOL_GUID = {
    0x96751a3d, 0x72f4, 0x41a6, {0xa7, 0x94, 0xed, 0x5d, 0x0e, 0x67, 0xae, 0x6b}};

typedef UINT32 EFI_CC_MR_INDEX;
typedef UINT32 EFI_CC_EVENT_LOG_BITMAP;
typedef UINT32 EFI_CC_EVENT_LOG_FORMAT;
typedef UINT32 EFI_CC_EVENT_ALGORITHM_BITMAP;

constexpr EFI_CC_EVENT_LOG_FORMAT EFI_CC_EVENT_LOG_FORMAT_TCG_2 = 0x2;

constexpr UINT8 EFI_CC_TYPE_NONE = 0;
constexpr UINT8 EFI_CC_TYPE_AMD_SEV = 1;
constexpr UINT8 EFI_CC_TYPE_INTEL_TDX = 2;

struct EFI_CC_VERSION {
    UINT8 Major;
    UINT8 Minor;
};
static_assert(sizeof(EFI_CC_VERSION) == 2);

struct EFI_CC_TYPE {
    UINT8 Type;
    UINT8 SubType;
};
static_assert(sizeof(EFI_CC_TYPE) == 2);

struct EFI_CC_BOOT_SERVICE_CAPABILITY {
    UINT8 Size;
    EFI_CC_VERSION StructureVersion;
    EFI_CC_VERSION ProtocolVersion;
    EFI_CC_EVENT_ALGORITHM_BITMAP HashAlgorithmBitmap;
    EFI_CC_EVENT_LOG_BITMAP SupportedEventLogs;
    EFI_CC_TYPE CcType;
};
static_assert(sizeof(EFI_CC_BOOT_SERVICE_CAPABILITY) == 20);
static_assert(offsetof(EFI_CC_BOOT_SERVICE_CAPABILITY, StructureVersion) == 1);
static_assert(offsetof(EFI_CC_BOOT_SERVICE_CAPABILITY, ProtocolVersion) == 3);
static_assert(offsetof(EFI_CC_BOOT_SERVICE_CAPABILITY, HashAlgorithmBitmap) == 8);
static_assert(offsetof(EFI_CC_BOOT_SERVICE_CAPABILITY, SupportedEventLogs) == 12);
static_assert(offsetof(EFI_CC_BOOT_SERVICE_CAPABILITY, CcType) == 16);

constexpr UINT16 EFI_CC_EVENT_HEADER_VERSION = 1;

#pragma pack(push, 1)
struct EFI_CC_EVENT_HEADER {
    UINT32 HeaderSize;
    UINT16 HeaderVersion;
    EFI_CC_MR_INDEX MrIndex;
    TCG_EVENTTYPE EventType;
};

// Size counts the whole record: Size itself, the header and the event data that follows.
struct EFI_CC_EVENT {
    UINT32 Size;
    EFI_CC_EVENT_HEADER Header;
    UINT8 Event[];
};
#pragma pack(pop)
static_assert(sizeof(EFI_CC_EVENT_HEADER) == 14);
static_assert(offsetof(EFI_CC_EVENT_HEADER, HeaderVersion) == 4);
static_assert(offsetof(EFI_CC_EVENT_HEADER, MrIndex) == 6);
static_assert(offsetof(EFI_CC_EVENT_HEADER, EventType) == 10);
static_assert(sizeof(EFI_CC_EVENT) == 18);
static_assert(offsetof(EFI_CC_EVENT, Header) == 4);
static_assert(offsetof(EFI_CC_EVENT, Event) == 18);

struct EFI_CC_MEASUREMENT_PROTOCOL {
    EFI_STATUS(EFIAPI *GetCapability)(EFI_CC_MEASUREMENT_PROTOCOL *This,
                                      EFI_CC_BOOT_SERVICE_CAPABILITY *ProtocolCapability);
    EFI_STATUS(EFIAPI *GetEventLog)(EFI_CC_MEASUREMENT_PROTOCOL *This, EFI_CC_EVENT_LOG_FORMAT EventLogFormat,
                                    EFI_PHYSICAL_ADDRESS *EventLogLocation, EFI_PHYSICAL_ADDRESS *EventLogLastEntry,
                                    BOOLEAN *EventLogTruncated);
    EFI_STATUS(EFIAPI *HashLogExtendEvent)(EFI_CC_MEASUREMENT_PROTOCOL *This, UINT64 Flags,
                                           EFI_PHYSICAL_ADDRESS DataToHash, UINT64 DataToHashLen,
                                           EFI_CC_EVENT *EfiCcEvent);
    EFI_STATUS(EFIAPI *MapPcrToMrIndex)(EFI_CC_MEASUREMENT_PROTOCOL *This, TCG_PCRINDEX PcrIndex,
                                        EFI_CC_MR_INDEX *MrIndex);
};
static_assert(sizeof(EFI_CC_MEASUREMENT_PROTOCOL) == 32);
static_assert(offsetof(EFI_CC_MEASUREMENT_PROTOCOL, GetEventLog) == 8);
static_assert(offsetof(EFI_CC_MEASUREMENT_PROTOCOL, HashLogExtendEvent) == 16);
static_assert(offsetof(EFI_CC_MEASUREMENT_PROTOCOL, MapPcrToMrIndex) == 24);
