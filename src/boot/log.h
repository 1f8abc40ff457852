// Console logging, assertions and halting. A message is one coloured line
// "file:line@function: text"; every message counts toward the pause of log_stall.
#pragma once

#include "efi/efi.h"
#include "../fundamental/assert-fundamental.h"

namespace korvane {

extern uint32_t logged_count;
extern bool assert_active;

EFI_STATUS log_message(EFI_STATUS status, UINTN attribute, const char *format, ...);

// Pauses 2.5 s per message logged since the last stall, at most 10 s.
void log_stall();

[[noreturn]] void halt_with_message(const char16_t *message);
[[noreturn]] void halt_forever();

void stack_guard_init();

} // namespace korvane

extern "C" uint64_t __security_cookie;
extern "C" void __security_check_cookie(uintptr_t cookie);

#define KORVANE_LOG_AT(status, attribute, fmt, ...)                                                            \
    ::korvane::log_message((status), (attribute), "%s:%i@%s: " fmt, __FILE__, __LINE__,                        \
                           __func__ __VA_OPT__(, ) __VA_ARGS__)
#define log_error(status, fmt, ...) KORVANE_LOG_AT(status, EFI_LIGHTRED, fmt __VA_OPT__(, ) __VA_ARGS__)
#define log_warning(status, fmt, ...) KORVANE_LOG_AT(status, EFI_YELLOW, fmt __VA_OPT__(, ) __VA_ARGS__)
#define log_out_of_memory() log_error(EFI_OUT_OF_RESOURCES, "Out of memory.")
