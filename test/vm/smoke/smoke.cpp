// The smoke application: proves on real firmware that an EFI application of ours starts, that
// its log lines reach the console in their format and colours, and that it can end the VM.
#include "boot/firmware.h"
#include "boot/log.h"

#include "../debug-exit.h"

namespace korvane {
namespace {

// The smoke test expects this value through isa-debug-exit, after all lines below.
constexpr uint8_t SMOKE_EXIT_VALUE = 0x2a;

void print(const char16_t *text) {
    ST->ConOut->OutputString(ST->ConOut, text);
}

// The plain lines around the messages show where a message starts and which colour it leaves behind.
void print_smoke_lines() {
    print(u"smoke: start\r\n");
    print(u"smoke: partial");
    log_error(EFI_NOT_FOUND, "smoke: error line: %m");
    log_warning(EFI_SUCCESS, "smoke: warning line %i", 42);
    print(u"smoke: done\r\n");
}

} // namespace
} // namespace korvane

// Runs before and after the guard changes, so its frame is not checked against it.
extern "C" __attribute__((no_stack_protector)) EFI_STATUS EFIAPI smoke_entry(EFI_HANDLE image,
                                                                           EFI_SYSTEM_TABLE *system_table) {
    (void)image;
    korvane::firmware_init(system_table);
    korvane::stack_guard_init();
    korvane::print_smoke_lines();
    korvane::vmtest::debug_exit(korvane::SMOKE_EXIT_VALUE);
}
