// Assertions shared by every module. A failed assertion reports the expression's text and
// the call site, then halts for good; it guards against programming errors, not bad input.
#pragma once

namespace korvane {

[[noreturn]] void efi_assert(const char *expression, const char *file, unsigned line, const char *function);

} // namespace korvane

#define ASSERT(expr) ((expr) ? (void)0 : ::korvane::efi_assert(#expr, __FILE__, __LINE__, __func__))
#define assert_not_reached() ::korvane::efi_assert("Code should not be reached", __FILE__, __LINE__, __func__)
