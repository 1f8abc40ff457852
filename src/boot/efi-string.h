// The formatting engine: an 8-bit printf-style format in, UTF-16 text out, with `%ls` for
// UTF-16 arguments and `%m` for the text of `status`. Short texts never touch the pool.
#pragma once

#include <stdarg.h>

#include "efi/efi.h"

namespace korvane {

// With return_string, a new pool string the caller frees; otherwise written to ConOut, null returned.
char16_t *printf_internal(EFI_STATUS status, const char *format, va_list ap, bool return_string);

[[nodiscard]] char16_t *xformat(const char *format, ...);

} // namespace korvane
