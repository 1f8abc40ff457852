// The variable store behind GetVariable and SetVariable. Variables are kept by vendor GUID and
// name with their attributes. Tests read and write the store directly; variables they mark
// read-only (as firmware keeps "SecureBoot") refuse SetVariable with EFI_WRITE_PROTECTED.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "boot/efi/efi.h"

namespace fakefw {

using Bytes = std::vector<uint8_t>;

inline constexpr UINT32 BS_RT_ACCESS = EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;

struct Variable {
    EFI_GUID vendor;
    std::u16string name;
    UINT32 attributes;
    Bytes data;
    bool read_only;
};

class Variables {
public:
    Variables() = default;
    Variables(const Variables &) = delete;
    Variables &operator=(const Variables &) = delete;

    // Creates or replaces a variable, bypassing SetVariable's rules (zero-length values included).
    void set(const EFI_GUID &vendor, std::u16string name, Bytes data, UINT32 attributes = BS_RT_ACCESS,
             bool read_only = false);
    // "SecureBoot" of EFI_GLOBAL_VARIABLE: one byte, 1 or 0, read-only.
    void set_secure_boot(bool enabled);
    void remove(const EFI_GUID &vendor, const std::u16string &name);
    // The variable, or null.
    const Variable *find(const EFI_GUID &vendor, const std::u16string &name) const;
    size_t count() const { return variables_.size(); }

    // Firmware side, called through the runtime services table.
    void bind(EFI_RUNTIME_SERVICES &rt);
    EFI_STATUS get_variable(const CHAR16 *name, const EFI_GUID *vendor, UINT32 *attributes, UINTN *size, VOID *data);
    EFI_STATUS set_variable(const CHAR16 *name, const EFI_GUID *vendor, UINT32 attributes, UINTN size,
                            const VOID *data);

private:
    Variable *lookup(const EFI_GUID &vendor, const std::u16string &name);

    std::vector<Variable> variables_;
};

} // namespace fakefw
