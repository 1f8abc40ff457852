// EFI_TCG2_PROTOCOL (TCG EFI Protocol Specification, Family "2.0") and the TCG PC Client
// event definitions it carries (TCG PC Client Platform Firmware Profile Specification).
#pragma once

#include "types.h"

constexpr EFI_GUID EFI_TCG2_PROTOCOL_GUID = {
    0x607f766c, 0x7455, 0x42be, {0x93, 0x0b, 0xe4, 0xd7, 0x6d, 0xb2, 0x72, 0x0f}};

typedef UINT32 TCG_PCRINDEX;
typedef UINT32 TCG_EVENTTYPE;

// Event types (PC Client Platform Firmware Profile, section 10.4.1).
constexpr TCG_EVENTTYPE EV_EVENT_TAG = 0x6;
constexpr TCG_EVENTTYPE EV_IPL = 0xd;

struct EFI_TCG2_VERSION {
    UINT8 Major;
    UINT8 Minor;
};
static_assert(sizeof(EFI_TCG2_VERSION) == 2);

typedef UINT32 EFI_TCG2_EVENT_LOG_BITMAP;
typedef UINT32 EFI_TCG2_EVENT_LOG_FORMAT;
typedef UINT32 EFI_TCG2_EVENT_ALGORITHM_BITMAP;

constexpr EFI_TCG2_EVENT_LOG_FORMAT EFI_TCG2_EVENT_LOG_FORMAT_TCG_1_2 = 0x1;
constexpr EFI_TCG2_EVENT_LOG_FORMAT EFI_TCG2_EVENT_LOG_FORMAT_TCG_2 = 0x2;

constexpr EFI_TCG2_EVENT_ALGORITHM_BITMAP EFI_TCG2_BOOT_HASH_ALG_SHA1 = 0x1;
constexpr EFI_TCG2_EVENT_ALGORITHM_BITMAP EFI_TCG2_BOOT_HASH_ALG_SHA256 = 0x2;
constexpr EFI_TCG2_EVENT_ALGORITHM_BITMAP EFI_TCG2_BOOT_HASH_ALG_SHA384 = 0x4;
constexpr EFI_TCG2_EVENT_ALGORITHM_BITMAP EFI_TCG2_BOOT_HASH_ALG_SHA512 = 0x8;
constexpr EFI_TCG2_EVENT_ALGORITHM_BITMAP EFI_TCG2_BOOT_HASH_ALG_SM3_256 = 0x10;

// Flags of HashLogExtendEvent.
constexpr UINT64 EFI_TCG2_EXTEND_ONLY = 0x1;
constexpr UINT64 PE_COFF_IMAGE = 0x10;

// The capability record of protocol revisions 1.1 and later, naturally aligned.
struct EFI_TCG2_BOOT_SERVICE_CAPABILITY {
    UINT8 Size;
    EFI_TCG2_VERSION StructureVersion;
    EFI_TCG2_VERSION ProtocolVersion;
    EFI_TCG2_EVENT_ALGORITHM_BITMAP HashAlgorithmBitmap;
    EFI_TCG2_EVENT_LOG_BITMAP SupportedEventLogs;
    BOOLEAN TPMPresentFlag;
    UINT16 MaxCommandSize;
    UINT16 MaxResponseSize;
    UINT32 ManufacturerID;
    UINT32 NumberOfPCRBanks;
    EFI_TCG2_EVENT_ALGORITHM_BITMAP ActivePcrBanks;
};
static_assert(sizeof(EFI_TCG2_BOOT_SERVICE_CAPABILITY) == 36);
static_assert(offsetof(EFI_TCG2_BOOT_SERVICE_CAPABILITY, StructureVersion) == 1);
static_assert(offsetof(EFI_TCG2_BOOT_SERVICE_CAPABILITY, ProtocolVersion) == 3);
static_assert(offsetof(EFI_TCG2_BOOT_SERVICE_CAPABILITY, HashAlgorithmBitmap) == 8);
static_assert(offsetof(EFI_TCG2_BOOT_SERVICE_CAPABILITY, SupportedEventLogs) == 12);
static_assert(offsetof(EFI_TCG2_BOOT_SERVICE_CAPABILITY, TPMPresentFlag) == 16);
static_assert(offsetof(EFI_TCG2_BOOT_SERVICE_CAPABILITY, MaxCommandSize) == 18);
static_assert(offsetof(EFI_TCG2_BOOT_SERVICE_CAPABILITY, MaxResponseSize) == 20);
static_assert(offsetof(EFI_TCG2_BOOT_SERVICE_CAPABILITY, ManufacturerID) == 24);
static_assert(offsetof(EFI_TCG2_BOOT_SERVICE_CAPABILITY, NumberOfPCRBanks) == 28);
static_assert(offsetof(EFI_TCG2_BOOT_SERVICE_CAPABILITY, ActivePcrBanks) == 32);

// The packed record of firmware that reports StructureVersion 1.0. Of it, only the place of the
// TPM-present flag is relied on.
#pragma pack(push, 1)
struct EFI_TCG2_BOOT_SERVICE_CAPABILITY_1_0 {
    UINT8 Size;
    EFI_TCG2_VERSION StructureVersion;
    EFI_TCG2_VERSION ProtocolVersion;
    EFI_TCG2_EVENT_ALGORITHM_BITMAP HashAlgorithmBitmap;
    UINT8 SupportedEventLogs;
    BOOLEAN TPMPresentFlag;
    UINT16 MaxCommandSize;
    UINT16 MaxResponseSize;
    UINT32 ManufacturerID;
};
#pragma pack(pop)
static_assert(sizeof(EFI_TCG2_BOOT_SERVICE_CAPABILITY_1_0) == 19);
static_assert(offsetof(EFI_TCG2_BOOT_SERVICE_CAPABILITY_1_0, StructureVersion) == 1);
static_assert(offsetof(EFI_TCG2_BOOT_SERVICE_CAPABILITY_1_0, HashAlgorithmBitmap) == 5);
static_assert(offsetof(EFI_TCG2_BOOT_SERVICE_CAPABILITY_1_0, SupportedEventLogs) == 9);
static_assert(offsetof(EFI_TCG2_BOOT_SERVICE_CAPABILITY_1_0, TPMPresentFlag) == 10);
static_assert(offsetof(EFI_TCG2_BOOT_SERVICE_CAPABILITY_1_0, ManufacturerID) == 15);

constexpr UINT16 EFI_TCG2_EVENT_HEADER_VERSION = 1;

#pragma pack(push, 1)
struct EFI_TCG2_EVENT_HEADER {
    UINT32 HeaderSize;
    UINT16 HeaderVersion;
    TCG_PCRINDEX PCRIndex;
    TCG_EVENTTYPE EventType;
};

// Size counts the whole record: Size itself, the header and the event data that follows.
struct EFI_TCG2_EVENT {
    UINT32 Size;
    EFI_TCG2_EVENT_HEADER Header;
    UINT8 Event[];
};

// The event data of an EV_EVENT_TAG event.
struct TCG_PCClientTaggedEvent {
    UINT32 taggedEventID;
    UINT32 taggedEventDataSize;
    UINT8 taggedEventData[];
};
#pragma pack(pop)
static_assert(sizeof(EFI_TCG2_EVENT_HEADER) == 14);
static_assert(offsetof(EFI_TCG2_EVENT_HEADER, HeaderVersion) == 4);
static_assert(offsetof(EFI_TCG2_EVENT_HEADER, PCRIndex) == 6);
static_assert(offsetof(EFI_TCG2_EVENT_HEADER, EventType) == 10);
static_assert(sizeof(EFI_TCG2_EVENT) == 18);
static_assert(offsetof(EFI_TCG2_EVENT, Header) == 4);
static_assert(offsetof(EFI_TCG2_EVENT, Event) == 18);
static_assert(sizeof(TCG_PCClientTaggedEvent) == 8);
static_assert(offsetof(TCG_PCClientTaggedEvent, taggedEventDataSize) == 4);
static_assert(offsetof(TCG_PCClientTaggedEvent, taggedEventData) == 8);

struct EFI_TCG2_PROTOCOL {
    EFI_STATUS(EFIAPI *GetCapability)(EFI_TCG2_PROTOCOL *This, EFI_TCG2_BOOT_SERVICE_CAPABILITY *ProtocolCapability);
    EFI_STATUS(EFIAPI *GetEventLog)(EFI_TCG2_PROTOCOL *This, EFI_TCG2_EVENT_LOG_FORMAT EventLogFormat,
                                    EFI_PHYSICAL_ADDRESS *EventLogLocation, EFI_PHYSICAL_ADDRESS *EventLogLastEntry,
                                    BOOLEAN *EventLogTruncated);
    EFI_STATUS(EFIAPI *HashLogExtendEvent)(EFI_TCG2_PROTOCOL *This, UINT64 Flags, EFI_PHYSICAL_ADDRESS DataToHash,
                                           UINT64 DataToHashLen, EFI_TCG2_EVENT *EfiTcgEvent);
    EFI_STATUS(EFIAPI *SubmitCommand)(EFI_TCG2_PROTOCOL *This, UINT32 InputParameterBlockSize,
                                      UINT8 *InputParameterBlock, UINT32 OutputParameterBlockSize,
                                      UINT8 *OutputParameterBlock);
    EFI_STATUS(EFIAPI *GetActivePcrBanks)(EFI_TCG2_PROTOCOL *This, UINT32 *ActivePcrBanks);
    EFI_STATUS(EFIAPI *SetActivePcrBanks)(EFI_TCG2_PROTOCOL *This, UINT32 ActivePcrBanks);
    EFI_STATUS(EFIAPI *GetResultOfSetActivePcrBanks)(EFI_TCG2_PROTOCOL *This, UINT32 *OperationPresent,
                                                     UINT32 *Response);
};
static_assert(sizeof(EFI_TCG2_PROTOCOL) == 56);
static_assert(offsetof(EFI_TCG2_PROTOCOL, GetEventLog) == 8);
static_assert(offsetof(EFI_TCG2_PROTOCOL, HashLogExtendEvent) == 16);
static_assert(offsetof(EFI_TCG2_PROTOCOL, SubmitCommand) == 24);
static_assert(offsetof(EFI_TCG2_PROTOCOL, GetActivePcrBanks) == 32);
static_assert(offsetof(EFI_TCG2_PROTOCOL, SetActivePcrBanks) == 40);
static_assert(offsetof(EFI_TCG2_PROTOCOL, GetResultOfSetActivePcrBanks) == 48);
