#include "fakefw/dt-fixup.h"

#include <gtest/gtest.h>

#include "fakefw/fakefw.h"

namespace fakefw {

namespace {

using Interface = OwnedInterface<EFI_DT_FIXUP_PROTOCOL, DtFixup>;

constexpr size_t FDT_HEADER_SIZE = 40;

EFI_STATUS EFIAPI fixup(EFI_DT_FIXUP_PROTOCOL *This, VOID *Fdt, UINTN *BufferSize, UINT32 Flags) {
    DtFixup *dt = Interface::of(This, "devicetree fix-up");
    return dt ? dt->fixup(Fdt, BufferSize, Flags) : EFI_INVALID_PARAMETER;
}

uint32_t be32_at(const uint8_t *p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

std::vector<uint8_t> blob_contents(const void *fdt, UINTN buffer_size) {
    if (!fdt || buffer_size < FDT_HEADER_SIZE)
        return {};
    auto *p = static_cast<const uint8_t *>(fdt);
    UINTN size = be32_at(p + 4);
    if (size > buffer_size)
        size = buffer_size;
    return std::vector<uint8_t>(p, p + size);
}

} // namespace

DtFixup::DtFixup(Firmware &fw) : fw_(fw) {
    interface_.protocol = {.Revision = EFI_DT_FIXUP_PROTOCOL_REVISION, .Fixup = fakefw::fixup};
    interface_.owner = this;
}

DtFixup::~DtFixup() {
    if (handle_)
        uninstall();
}

EFI_HANDLE DtFixup::install() {
    if (handle_) {
        ADD_FAILURE() << "fakefw: the devicetree fix-up protocol is already installed";
        return handle_;
    }
    handle_ = fw_.handles().install(nullptr, EFI_DT_FIXUP_PROTOCOL_GUID, protocol());
    return handle_;
}

void DtFixup::uninstall() {
    if (!handle_) {
        ADD_FAILURE() << "fakefw: the devicetree fix-up protocol is not installed";
        return;
    }
    fw_.handles().uninstall(handle_, EFI_DT_FIXUP_PROTOCOL_GUID);
    handle_ = nullptr;
}

EFI_STATUS DtFixup::fixup(void *fdt, UINTN *buffer_size, UINT32 flags) {
    UINTN size_in = buffer_size ? *buffer_size : 0;
    calls_.push_back(DtFixupCall{fdt, size_in, flags, blob_contents(fdt, size_in), EFI_SUCCESS});
    EFI_STATUS status = answer(fdt, buffer_size);
    calls_.back().status = status;
    return status;
}

EFI_STATUS DtFixup::answer(void *fdt, UINTN *buffer_size) {
    if (auto injected = fault_.enter())
        return *injected;
    if (!fdt || !buffer_size)
        return EFI_INVALID_PARAMETER;
    if (reply_) {
        Reply reply = *reply_;
        reply_.reset();
        *buffer_size = reply.size;
        return reply.status;
    }
    if (*buffer_size < required_size_) {
        *buffer_size = required_size_;
        return EFI_BUFFER_TOO_SMALL;
    }
    if (edit_)
        edit_(static_cast<uint8_t *>(fdt), *buffer_size);
    return EFI_SUCCESS;
}

} // namespace fakefw
