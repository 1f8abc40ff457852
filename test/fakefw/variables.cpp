#include "fakefw/variables.h"

#include <cstring>

#include "boot/efi/global-variable.h"
#include "fakefw/trampoline.h"

namespace fakefw {

namespace {

Variables &variables() { return Firmware::active().variables(); }

EFI_STATUS get_variable(const CHAR16 *name, const EFI_GUID *vendor, UINT32 *attributes, UINTN *size, VOID *data) {
    return variables().get_variable(name, vendor, attributes, size, data);
}
EFI_STATUS set_variable(const CHAR16 *name, const EFI_GUID *vendor, UINT32 attributes, UINTN size,
                        const VOID *data) {
    return variables().set_variable(name, vendor, attributes, size, data);
}

// Attributes SetVariable accepts: runtime access needs boot-service access.
bool valid_attributes(UINT32 attributes) {
    constexpr UINT32 KNOWN = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
    if (attributes & ~KNOWN)
        return false;
    return !(attributes & EFI_VARIABLE_RUNTIME_ACCESS) || (attributes & EFI_VARIABLE_BOOTSERVICE_ACCESS);
}

} // namespace

void Variables::set(const EFI_GUID &vendor, std::u16string name, Bytes data, UINT32 attributes, bool read_only) {
    if (Variable *v = lookup(vendor, name)) {
        *v = Variable{vendor, std::move(name), attributes, std::move(data), read_only};
        return;
    }
    variables_.push_back(Variable{vendor, std::move(name), attributes, std::move(data), read_only});
}

void Variables::set_secure_boot(bool enabled) {
    set(EFI_GLOBAL_VARIABLE, u"SecureBoot", {uint8_t(enabled ? 1 : 0)}, BS_RT_ACCESS, true);
}

void Variables::remove(const EFI_GUID &vendor, const std::u16string &name) {
    for (auto it = variables_.begin(); it != variables_.end(); ++it)
        if (efi_guid_equal(it->vendor, vendor) && it->name == name) {
            variables_.erase(it);
            return;
        }
}

const Variable *Variables::find(const EFI_GUID &vendor, const std::u16string &name) const {
    for (const Variable &v : variables_)
        if (efi_guid_equal(v.vendor, vendor) && v.name == name)
            return &v;
    return nullptr;
}

Variable *Variables::lookup(const EFI_GUID &vendor, const std::u16string &name) {
    return const_cast<Variable *>(find(vendor, name));
}

void Variables::bind(EFI_RUNTIME_SERVICES &rt) {
    rt.GetVariable = Entry<Service::GetVariable, fakefw::get_variable>::call;
    rt.SetVariable = Entry<Service::SetVariable, fakefw::set_variable>::call;
}

EFI_STATUS Variables::get_variable(const CHAR16 *name, const EFI_GUID *vendor, UINT32 *attributes, UINTN *size,
                                   VOID *data) {
    if (!name || !vendor || !size)
        return EFI_INVALID_PARAMETER;
    const Variable *v = find(*vendor, name);
    if (!v)
        return EFI_NOT_FOUND;
    if (*size < v->data.size()) {
        *size = v->data.size();
        return EFI_BUFFER_TOO_SMALL;
    }
    if (!data && !v->data.empty())
        return EFI_INVALID_PARAMETER;
    if (!v->data.empty())
        memcpy(data, v->data.data(), v->data.size());
    *size = v->data.size();
    if (attributes)
        *attributes = v->attributes;
    return EFI_SUCCESS;
}

// Size 0, or no access attributes, deletes.
EFI_STATUS Variables::set_variable(const CHAR16 *name, const EFI_GUID *vendor, UINT32 attributes, UINTN size,
                                   const VOID *data) {
    if (!name || !name[0] || !vendor || (size > 0 && !data) || !valid_attributes(attributes))
        return EFI_INVALID_PARAMETER;
    Variable *v = lookup(*vendor, name);
    if (v && v->read_only)
        return EFI_WRITE_PROTECTED;
    bool deleting = size == 0 || (attributes & BS_RT_ACCESS) == 0;
    if (deleting) {
        if (!v)
            return EFI_NOT_FOUND;
        remove(*vendor, name);
        return EFI_SUCCESS;
    }
    if (v && v->attributes != attributes)
        return EFI_INVALID_PARAMETER;
    const auto *p = static_cast<const uint8_t *>(data);
    set(*vendor, name, Bytes(p, p + size), attributes);
    return EFI_SUCCESS;
}

} // namespace fakefw
