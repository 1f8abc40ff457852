// EFI_RNG_PROTOCOL (UEFI 2.10, section 37.5).
#pragma once

#include "types.h"

constexpr EFI_GUID EFI_RNG_PROTOCOL_GUID = {
    0x3152bca5, 0xeade, 0x433d, {0x86, 0x2e, 0xc0, 0x1c, 0xdc, 0x29, 0x1f, 0x44}};

typedef EFI_GUID EFI_RNG_ALGORITHM;

struct EFI_RNG_PROTOCOL {
    EFI_STATUS(EFIAPI *GetInfo)(EFI_RNG_PROTOCOL *This, UINTN *RNGAlgorithmListSize,
                                EFI_RNG_ALGORITHM *RNGAlgorithmList);
    EFI_STATUS(EFIAPI *GetRNG)(EFI_RNG_PROTOCOL *This, EFI_RNG_ALGORITHM *RNGAlgorithm, UINTN RNGValueLength,
                               UINT8 *RNGValue);
};
static_assert(sizeof(EFI_RNG_PROTOCOL) == 16);
