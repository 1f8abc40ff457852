// Basic UEFI data types and status codes (UEFI 2.10, section 2.3.1 and appendix D).
#pragma once

#include <stddef.h>
#include <stdint.h>

#define EFIAPI __attribute__((ms_abi))

typedef uint8_t BOOLEAN;
typedef int64_t INTN;
typedef uint64_t UINTN;
typedef int8_t INT8;
typedef uint8_t UINT8;
typedef int16_t INT16;
typedef uint16_t UINT16;
typedef int32_t INT32;
typedef uint32_t UINT32;
typedef int64_t INT64;
typedef uint64_t UINT64;
typedef char CHAR8;
typedef char16_t CHAR16;
typedef void VOID;

typedef UINTN EFI_STATUS;
typedef VOID *EFI_HANDLE;
typedef VOID *EFI_EVENT;
typedef UINTN EFI_TPL;
typedef UINT64 EFI_LBA;
typedef UINT64 EFI_PHYSICAL_ADDRESS;
typedef UINT64 EFI_VIRTUAL_ADDRESS;

static_assert(sizeof(CHAR16) == 2);
static_assert(sizeof(UINTN) == sizeof(void *));

constexpr EFI_STATUS EFI_ERROR_BIT = 0x8000000000000000ULL;
constexpr EFI_STATUS efi_error_code(UINTN code) { return EFI_ERROR_BIT | code; }
constexpr bool EFI_ERROR(EFI_STATUS s) { return (s & EFI_ERROR_BIT) != 0; }

constexpr EFI_STATUS EFI_SUCCESS = 0;
constexpr EFI_STATUS EFI_LOAD_ERROR = efi_error_code(1);
constexpr EFI_STATUS EFI_INVALID_PARAMETER = efi_error_code(2);
constexpr EFI_STATUS EFI_UNSUPPORTED = efi_error_code(3);
constexpr EFI_STATUS EFI_BAD_BUFFER_SIZE = efi_error_code(4);
constexpr EFI_STATUS EFI_BUFFER_TOO_SMALL = efi_error_code(5);
constexpr EFI_STATUS EFI_NOT_READY = efi_error_code(6);
constexpr EFI_STATUS EFI_DEVICE_ERROR = efi_error_code(7);
constexpr EFI_STATUS EFI_WRITE_PROTECTED = efi_error_code(8);
constexpr EFI_STATUS EFI_OUT_OF_RESOURCES = efi_error_code(9);
constexpr EFI_STATUS EFI_VOLUME_CORRUPTED = efi_error_code(10);
constexpr EFI_STATUS EFI_VOLUME_FULL = efi_error_code(11);
constexpr EFI_STATUS EFI_NO_MEDIA = efi_error_code(12);
constexpr EFI_STATUS EFI_MEDIA_CHANGED = efi_error_code(13);
constexpr EFI_STATUS EFI_NOT_FOUND = efi_error_code(14);
constexpr EFI_STATUS EFI_ACCESS_DENIED = efi_error_code(15);
constexpr EFI_STATUS EFI_NO_RESPONSE = efi_error_code(16);
constexpr EFI_STATUS EFI_NO_MAPPING = efi_error_code(17);
constexpr EFI_STATUS EFI_TIMEOUT = efi_error_code(18);
constexpr EFI_STATUS EFI_NOT_STARTED = efi_error_code(19);
constexpr EFI_STATUS EFI_ALREADY_STARTED = efi_error_code(20);
constexpr EFI_STATUS EFI_ABORTED = efi_error_code(21);
constexpr EFI_STATUS EFI_ICMP_ERROR = efi_error_code(22);
constexpr EFI_STATUS EFI_TFTP_ERROR = efi_error_code(23);
constexpr EFI_STATUS EFI_PROTOCOL_ERROR = efi_error_code(24);
constexpr EFI_STATUS EFI_INCOMPATIBLE_VERSION = efi_error_code(25);
constexpr EFI_STATUS EFI_SECURITY_VIOLATION = efi_error_code(26);
constexpr EFI_STATUS EFI_CRC_ERROR = efi_error_code(27);
constexpr EFI_STATUS EFI_END_OF_MEDIA = efi_error_code(28);
constexpr EFI_STATUS EFI_END_OF_FILE = efi_error_code(31);
constexpr EFI_STATUS EFI_INVALID_LANGUAGE = efi_error_code(32);
constexpr EFI_STATUS EFI_COMPROMISED_DATA = efi_error_code(33);
constexpr EFI_STATUS EFI_IP_ADDRESS_CONFLICT = efi_error_code(34);
constexpr EFI_STATUS EFI_HTTP_ERROR = efi_error_code(35);

constexpr EFI_STATUS EFI_WARN_UNKNOWN_GLYPH = 1;
constexpr EFI_STATUS EFI_WARN_DELETE_FAILURE = 2;
constexpr EFI_STATUS EFI_WARN_WRITE_FAILURE = 3;
constexpr EFI_STATUS EFI_WARN_BUFFER_TOO_SMALL = 4;
constexpr EFI_STATUS EFI_WARN_STALE_DATA = 5;
constexpr EFI_STATUS EFI_WARN_FILE_SYSTEM = 6;
constexpr EFI_STATUS EFI_WARN_RESET_REQUIRED = 7;

// UEFI 2.10, appendix A: the first three fields are little-endian.
struct EFI_GUID {
    UINT32 Data1;
    UINT16 Data2;
    UINT16 Data3;
    UINT8 Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16);

constexpr bool efi_guid_equal(const EFI_GUID &a, const EFI_GUID &b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
        return false;
    for (int i = 0; i < 8; i++)
        if (a.Data4[i] != b.Data4[i])
            return false;
    return true;
}

// UEFI 2.10, section 4.2.
struct EFI_TABLE_HEADER {
    UINT64 Signature;
    UINT32 Revision;
    UINT32 HeaderSize;
    UINT32 CRC32;
    UINT32 Reserved;
};
static_assert(sizeof(EFI_TABLE_HEADER) == 24);

// UEFI 2.10, section 7.2.
enum EFI_MEMORY_TYPE : UINT32 {
    EfiReservedMemoryType,
    EfiLoaderCode,
    EfiLoaderData,
    EfiBootServicesCode,
    EfiBootServicesData,
    EfiRuntimeServicesCode,
    EfiRuntimeServicesData,
    EfiConventionalMemory,
    EfiUnusableMemory,
    EfiACPIReclaimMemory,
    EfiACPIMemoryNVS,
    EfiMemoryMappedIO,
    EfiMemoryMappedIOPortSpace,
    EfiPalCode,
    EfiPersistentMemory,
    EfiUnacceptedMemoryType,
    EfiMaxMemoryType,
};

enum EFI_ALLOCATE_TYPE : UINT32 {
    AllocateAnyPages,
    AllocateMaxAddress,
    AllocateAddress,
    MaxAllocateType,
};

constexpr UINTN EFI_PAGE_SIZE = 4096;
constexpr UINTN efi_size_to_pages(UINTN size) { return size / EFI_PAGE_SIZE + (size % EFI_PAGE_SIZE != 0); }
