// Whether the stub runs in a confidential virtual machine (AMD SEV, SEV-ES, SEV-SNP, Intel TDX,
// or a Hyper-V isolated guest built on them), asked of the processor each time.
#pragma once

#include <stdint.h>

namespace korvane {

// Hyper-V isolation types.
constexpr uint32_t HYPERV_ISOLATION_TYPE_SNP = 2;
constexpr uint32_t HYPERV_ISOLATION_TYPE_TDX = 3;

bool running_in_confidential_vm();

// Whether this is a Hyper-V guest with isolation of `isolation_type`.
bool hyperv_isolation_type_is(uint32_t isolation_type);

} // namespace korvane
