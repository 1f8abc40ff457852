// Starting a kernel through the 64-bit EFI handover entry of the Linux x86 boot protocol, for
// kernels that the firmware's image loader cannot start with an initrd of ours.
#pragma once

#include "efi/efi.h"
#include "util.h"

namespace korvane {

// The highest command line address for kernels that must stay below 4 GiB.
constexpr EFI_PHYSICAL_ADDRESS CMDLINE_PTR_MAX = 0xA0000;

// Builds the boot parameters from the kernel's setup header, places kernel, initrd and command
// line where the kernel can reach them and jumps into the kernel. Returns only when the kernel
// is unusable (EFI_LOAD_ERROR, EFI_UNSUPPORTED) or came back (EFI_LOAD_ERROR), with everything
// it allocated freed. `cmdline` may be null; `initrd` may be empty.
EFI_STATUS linux_exec_efi_handover(EFI_HANDLE parent, const char16_t *cmdline, const iovec &kernel,
                                   const iovec &initrd, size_t kernel_size_in_memory);

} // namespace korvane
