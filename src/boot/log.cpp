#include "log.h"

#include "efi-string.h"
#include "efi/rng.h"
#include "firmware.h"

// The guard's value in the image; stack_guard_init replaces it before anything relies on it.
extern "C" uint64_t __security_cookie = 0x4b6f7276616e6521ULL;

namespace korvane {

uint32_t logged_count;
bool assert_active;

namespace {

constexpr UINTN STALL_PER_MESSAGE_US = 2500000;
constexpr uint32_t STALL_MAX_MESSAGES = 4;
constexpr UINTN HALT_STALL_US = 60000000;

void start_line() {
    if (ST->ConOut->Mode->CursorColumn > 0)
        ST->ConOut->OutputString(ST->ConOut, u"\r\n");
}

} // namespace

EFI_STATUS log_message(EFI_STATUS status, UINTN attribute, const char *format, ...) {
    INT32 previous = ST->ConOut->Mode->Attribute;
    start_line();
    ST->ConOut->SetAttribute(ST->ConOut, attribute);
    va_list ap;
    va_start(ap, format);
    printf_internal(status, format, ap, false);
    va_end(ap);
    ST->ConOut->OutputString(ST->ConOut, u"\r\n");
    ST->ConOut->SetAttribute(ST->ConOut, static_cast<UINTN>(previous));
    logged_count++;
    return status;
}

void log_stall() {
    if (logged_count == 0)
        return;
    uint32_t n = logged_count < STALL_MAX_MESSAGES ? logged_count : STALL_MAX_MESSAGES;
    BS->Stall(n * STALL_PER_MESSAGE_US);
    logged_count = 0;
}

void efi_assert(const char *expression, const char *file, unsigned line, const char *function) {
    // A failure while reporting one must not recurse into another report.
    if (assert_active)
        halt_with_message(u"korvane-boot: Nested assertion failure, halting.");
    assert_active = true;
    log_error(EFI_INVALID_PARAMETER, "korvane-boot: Assertion '%s' failed at %s:%u@%s, halting.", expression, file,
              line, function);
    halt_forever();
}

void halt_with_message(const char16_t *message) {
    start_line();
    ST->ConOut->SetAttribute(ST->ConOut, efi_text_attr(EFI_LIGHTRED, EFI_BACKGROUND_BLACK));
    ST->ConOut->OutputString(ST->ConOut, message);
    halt_forever();
}

void halt_forever() {
    for (;;)
        BS->Stall(HALT_STALL_US);
}

// Changes the guard, so its own frame must not be checked against it.
__attribute__((no_stack_protector)) void stack_guard_init() {
    EFI_RNG_PROTOCOL *rng = nullptr;
    if (BS->LocateProtocol(&EFI_RNG_PROTOCOL_GUID, nullptr, reinterpret_cast<void **>(&rng)) == EFI_SUCCESS &&
        rng) {
        rng->GetRNG(rng, nullptr, sizeof(__security_cookie), reinterpret_cast<UINT8 *>(&__security_cookie));
        return;
    }
    // No entropy: at least make the guard differ between load addresses.
    __security_cookie ^= reinterpret_cast<uintptr_t>(&stack_guard_init);
}

} // namespace korvane

extern "C" __attribute__((no_stack_protector)) void __security_check_cookie(uintptr_t cookie) {
    if (cookie != __security_cookie)
        korvane::halt_with_message(u"korvane-boot: Stack check failed, halting.");
}
