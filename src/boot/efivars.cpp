#include "efivars.h"

#include "efi-string.h"
#include "firmware.h"
#include "util.h"

namespace korvane {

namespace {

EFI_STATUS set_raw(const EFI_GUID &vendor, const char16_t *name, size_t size, const void *data) {
    return RT->SetVariable(name, &vendor, STUB_VARIABLE_ATTRIBUTES, size, data);
}

} // namespace

EFI_STATUS variable_set_string(const EFI_GUID &vendor, const char16_t *name, const char16_t *value) {
    size_t size = value ? (str16_len(value) + 1) * sizeof(char16_t) : 0;
    return set_raw(vendor, name, size, value);
}

EFI_STATUS variable_set_decimal(const EFI_GUID &vendor, const char16_t *name, uint64_t value) {
    PoolPtr<char16_t> text(xformat("%lu", value));
    return variable_set_string(vendor, name, text.get());
}

EFI_STATUS variable_set_u64(const EFI_GUID &vendor, const char16_t *name, uint64_t value) {
    uint8_t bytes[sizeof(value)];
    for (size_t i = 0; i < sizeof(bytes); i++)
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return set_raw(vendor, name, sizeof(bytes), bytes);
}

EFI_STATUS variable_get_raw(const EFI_GUID &vendor, const char16_t *name, void **ret_data, size_t *ret_size) {
    UINTN size = 0;
    EFI_STATUS err = RT->GetVariable(name, &vendor, nullptr, &size, nullptr);
    PoolPtr<uint8_t> buf;
    if (err == EFI_BUFFER_TOO_SMALL) {
        // Whoever wrote the variable chose its size.
        buf.reset(static_cast<uint8_t *>(try_malloc(size)));
        if (!buf)
            return EFI_OUT_OF_RESOURCES;
        err = RT->GetVariable(name, &vendor, nullptr, &size, buf.get());
    }
    if (err != EFI_SUCCESS)
        return err;
    if (ret_data)
        *ret_data = buf.release();
    if (ret_size)
        *ret_size = size;
    return EFI_SUCCESS;
}

} // namespace korvane
