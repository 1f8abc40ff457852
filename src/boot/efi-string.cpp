#include "efi-string.h"
namespace korvane {
char16_t *printf_internal(EFI_STATUS, const char *, va_list, bool) { return nullptr; }
char16_t *xformat(const char *, ...) { return nullptr; }
}
