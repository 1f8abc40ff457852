// EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL (UEFI 2.10, section 12.4).
#pragma once

#include "types.h"

constexpr EFI_GUID EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL_GUID = {
    0x387477c2, 0x69c7, 0x11d2, {0x8e, 0x39, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b}};

constexpr UINTN EFI_BLACK = 0x00;
constexpr UINTN EFI_LIGHTGRAY = 0x07;
constexpr UINTN EFI_LIGHTRED = 0x0C;
constexpr UINTN EFI_YELLOW = 0x0E;
constexpr UINTN EFI_WHITE = 0x0F;
constexpr UINTN EFI_BACKGROUND_BLACK = 0x00;
constexpr UINTN efi_text_attr(UINTN foreground, UINTN background) { return foreground | (background << 4); }

struct SIMPLE_TEXT_OUTPUT_MODE {
    INT32 MaxMode;
    INT32 Mode;
    INT32 Attribute;
    INT32 CursorColumn;
    INT32 CursorRow;
    BOOLEAN CursorVisible;
};
static_assert(sizeof(SIMPLE_TEXT_OUTPUT_MODE) == 24);
static_assert(offsetof(SIMPLE_TEXT_OUTPUT_MODE, Attribute) == 8);
static_assert(offsetof(SIMPLE_TEXT_OUTPUT_MODE, CursorColumn) == 12);

struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL {
    EFI_STATUS(EFIAPI *Reset)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, BOOLEAN ExtendedVerification);
    EFI_STATUS(EFIAPI *OutputString)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, const CHAR16 *String);
    EFI_STATUS(EFIAPI *TestString)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, const CHAR16 *String);
    EFI_STATUS(EFIAPI *QueryMode)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, UINTN ModeNumber, UINTN *Columns,
                                  UINTN *Rows);
    EFI_STATUS(EFIAPI *SetMode)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, UINTN ModeNumber);
    EFI_STATUS(EFIAPI *SetAttribute)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, UINTN Attribute);
    EFI_STATUS(EFIAPI *ClearScreen)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This);
    EFI_STATUS(EFIAPI *SetCursorPosition)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, UINTN Column, UINTN Row);
    EFI_STATUS(EFIAPI *EnableCursor)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, BOOLEAN Visible);
    SIMPLE_TEXT_OUTPUT_MODE *Mode;
};
static_assert(sizeof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL) == 80);
static_assert(offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, OutputString) == 8);
static_assert(offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, SetAttribute) == 40);
static_assert(offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, Mode) == 72);

// EFI_SIMPLE_TEXT_INPUT_PROTOCOL (UEFI 2.10, section 12.3); the stub never reads keys.
struct EFI_INPUT_KEY {
    UINT16 ScanCode;
    CHAR16 UnicodeChar;
};
static_assert(sizeof(EFI_INPUT_KEY) == 4);
static_assert(offsetof(EFI_INPUT_KEY, UnicodeChar) == 2);

struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL {
    EFI_STATUS(EFIAPI *Reset)(EFI_SIMPLE_TEXT_INPUT_PROTOCOL *This, BOOLEAN ExtendedVerification);
    EFI_STATUS(EFIAPI *ReadKeyStroke)(EFI_SIMPLE_TEXT_INPUT_PROTOCOL *This, EFI_INPUT_KEY *Key);
    EFI_EVENT WaitForKey;
};
static_assert(sizeof(EFI_SIMPLE_TEXT_INPUT_PROTOCOL) == 24);
