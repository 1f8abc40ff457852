#include "fakefw/graphics-output.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "fakefw/fakefw.h"

namespace fakefw {

namespace {

using Interface = OwnedInterface<EFI_GRAPHICS_OUTPUT_PROTOCOL, GraphicsOutput>;

GraphicsOutput *owner(EFI_GRAPHICS_OUTPUT_PROTOCOL *This) { return Interface::of(This, "graphics output"); }

EFI_STATUS EFIAPI query_mode(EFI_GRAPHICS_OUTPUT_PROTOCOL *This, UINT32 mode, UINTN *size,
                             EFI_GRAPHICS_OUTPUT_MODE_INFORMATION **info) {
    GraphicsOutput *gop = owner(This);
    return gop ? gop->query_mode(mode, size, info) : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI set_mode(EFI_GRAPHICS_OUTPUT_PROTOCOL *This, UINT32 mode) {
    GraphicsOutput *gop = owner(This);
    return gop ? gop->set_mode(mode) : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI blt(EFI_GRAPHICS_OUTPUT_PROTOCOL *This, EFI_GRAPHICS_OUTPUT_BLT_PIXEL *buffer,
                      EFI_GRAPHICS_OUTPUT_BLT_OPERATION operation, UINTN source_x, UINTN source_y,
                      UINTN destination_x, UINTN destination_y, UINTN width, UINTN height, UINTN delta) {
    GraphicsOutput *gop = owner(This);
    return gop ? gop->blt(buffer, operation, source_x, source_y, destination_x, destination_y, width, height, delta)
               : EFI_INVALID_PARAMETER;
}

} // namespace

GraphicsOutput::GraphicsOutput(Firmware &fw, GraphicsConfig config)
    : fw_(fw), screen_(size_t(config.width) * config.height, EFI_GRAPHICS_OUTPUT_BLT_PIXEL{}) {
    info_ = EFI_GRAPHICS_OUTPUT_MODE_INFORMATION{
        .Version = 0,
        .HorizontalResolution = config.width,
        .VerticalResolution = config.height,
        .PixelFormat = PixelBlueGreenRedReserved8BitPerColor,
        .PixelInformation = {},
        .PixelsPerScanLine = config.width,
    };
    mode_ = EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE{
        .MaxMode = 1,
        .Mode = 0,
        .Info = &info_,
        .SizeOfInfo = sizeof(info_),
        .FrameBufferBase = reinterpret_cast<uintptr_t>(screen_.data()),
        .FrameBufferSize = screen_.size() * sizeof(EFI_GRAPHICS_OUTPUT_BLT_PIXEL),
    };
    interface_.protocol = EFI_GRAPHICS_OUTPUT_PROTOCOL{
        .QueryMode = fakefw::query_mode,
        .SetMode = fakefw::set_mode,
        .Blt = fakefw::blt,
        .Mode = &mode_,
    };
    interface_.owner = this;
}

GraphicsOutput::~GraphicsOutput() {
    if (handle_)
        uninstall();
}

EFI_HANDLE GraphicsOutput::install() {
    if (handle_) {
        ADD_FAILURE() << "fakefw: the graphics output protocol is already installed";
        return handle_;
    }
    handle_ = fw_.handles().install(nullptr, EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID, protocol());
    return handle_;
}

void GraphicsOutput::uninstall() {
    if (!handle_) {
        ADD_FAILURE() << "fakefw: the graphics output protocol is not installed";
        return;
    }
    fw_.handles().uninstall(handle_, EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID);
    handle_ = nullptr;
}

void GraphicsOutput::fill(EFI_GRAPHICS_OUTPUT_BLT_PIXEL colour) { std::fill(screen_.begin(), screen_.end(), colour); }

EFI_STATUS GraphicsOutput::query_mode(UINT32 mode, UINTN *size, EFI_GRAPHICS_OUTPUT_MODE_INFORMATION **info) {
    if (mode != 0 || !size || !info)
        return EFI_INVALID_PARAMETER;
    // Firmware hands out a pool copy that the caller frees.
    EFI_STATUS err =
        fw_.boot_services()->AllocatePool(EfiBootServicesData, sizeof(info_), reinterpret_cast<void **>(info));
    if (err != EFI_SUCCESS)
        return err;
    **info = info_;
    *size = sizeof(info_);
    return EFI_SUCCESS;
}

EFI_STATUS GraphicsOutput::set_mode(UINT32 mode) { return mode == 0 ? EFI_SUCCESS : EFI_UNSUPPORTED; }

bool GraphicsOutput::on_screen(UINTN x, UINTN y, UINTN width, UINTN height) const {
    return x <= this->width() && width <= this->width() - x && y <= this->height() && height <= this->height() - y;
}

EFI_STATUS GraphicsOutput::blt(EFI_GRAPHICS_OUTPUT_BLT_PIXEL *buffer, EFI_GRAPHICS_OUTPUT_BLT_OPERATION operation,
                               UINTN source_x, UINTN source_y, UINTN destination_x, UINTN destination_y, UINTN width,
                               UINTN height, UINTN delta) {
    BltCall c = {operation, source_x, source_y, destination_x, destination_y, width, height, delta, EFI_SUCCESS};
    if (auto injected = blt_fault_.enter())
        c.status = *injected;
    else
        c.status = blt_checked(buffer, c);
    calls_.push_back(c);
    return c.status;
}

EFI_STATUS GraphicsOutput::blt_checked(EFI_GRAPHICS_OUTPUT_BLT_PIXEL *buffer, const BltCall &c) {
    if (c.operation >= EfiGraphicsOutputBltOperationMax || c.width == 0 || c.height == 0)
        return EFI_INVALID_PARAMETER;
    if (c.operation != EfiBltVideoToVideo && !buffer)
        return EFI_INVALID_PARAMETER;
    UINTN stride = c.delta ? c.delta / sizeof(EFI_GRAPHICS_OUTPUT_BLT_PIXEL) : c.width;
    auto at = [&](UINTN x, UINTN y) -> EFI_GRAPHICS_OUTPUT_BLT_PIXEL & { return buffer[y * stride + x]; };

    switch (c.operation) {
    case EfiBltVideoFill:
        if (!on_screen(c.destination_x, c.destination_y, c.width, c.height))
            return EFI_INVALID_PARAMETER;
        for (UINTN y = 0; y < c.height; y++)
            for (UINTN x = 0; x < c.width; x++)
                pixel(c.destination_x + x, c.destination_y + y) = buffer[0];
        return EFI_SUCCESS;
    case EfiBltVideoToBltBuffer:
        if (!on_screen(c.source_x, c.source_y, c.width, c.height))
            return EFI_INVALID_PARAMETER;
        for (UINTN y = 0; y < c.height; y++)
            for (UINTN x = 0; x < c.width; x++)
                at(c.destination_x + x, c.destination_y + y) = pixel(c.source_x + x, c.source_y + y);
        return EFI_SUCCESS;
    case EfiBltBufferToVideo:
        if (!on_screen(c.destination_x, c.destination_y, c.width, c.height))
            return EFI_INVALID_PARAMETER;
        for (UINTN y = 0; y < c.height; y++)
            for (UINTN x = 0; x < c.width; x++)
                pixel(c.destination_x + x, c.destination_y + y) = at(c.source_x + x, c.source_y + y);
        return EFI_SUCCESS;
    default: {
        if (!on_screen(c.source_x, c.source_y, c.width, c.height) ||
            !on_screen(c.destination_x, c.destination_y, c.width, c.height))
            return EFI_INVALID_PARAMETER;
        // Through a copy, so that overlapping rectangles move as a whole.
        std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> block(c.width * c.height);
        for (UINTN y = 0; y < c.height; y++)
            for (UINTN x = 0; x < c.width; x++)
                block[y * c.width + x] = pixel(c.source_x + x, c.source_y + y);
        for (UINTN y = 0; y < c.height; y++)
            for (UINTN x = 0; x < c.width; x++)
                pixel(c.destination_x + x, c.destination_y + y) = block[y * c.width + x];
        return EFI_SUCCESS;
    }
    }
}

} // namespace fakefw
