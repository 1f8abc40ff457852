// EFI_GRAPHICS_OUTPUT_PROTOCOL over an in-memory screen of blit pixels, installed only when a
// test asks for it; declare it after the Firmware. Blt reads and writes the screen and, like
// firmware, rejects empty rectangles and rectangles that do not lie inside the screen.
#pragma once

#include <vector>

#include "boot/efi/graphics-output.h"
#include "fakefw/tcg-log.h"

namespace fakefw {

class Firmware;

struct GraphicsConfig {
    UINT32 width = 800;
    UINT32 height = 600;
};

// One Blt call as the firmware received it, failed ones included.
struct BltCall {
    EFI_GRAPHICS_OUTPUT_BLT_OPERATION operation;
    UINTN source_x, source_y, destination_x, destination_y, width, height, delta;
    EFI_STATUS status;
};

class GraphicsOutput {
public:
    GraphicsOutput(Firmware &fw, GraphicsConfig config = {});
    ~GraphicsOutput();
    GraphicsOutput(const GraphicsOutput &) = delete;
    GraphicsOutput &operator=(const GraphicsOutput &) = delete;

    EFI_HANDLE install();
    void uninstall();
    EFI_GRAPHICS_OUTPUT_PROTOCOL *protocol() { return &interface_.protocol; }

    UINT32 width() const { return info_.HorizontalResolution; }
    UINT32 height() const { return info_.VerticalResolution; }
    // The screen, row by row from the top.
    EFI_GRAPHICS_OUTPUT_BLT_PIXEL &pixel(UINT32 x, UINT32 y) { return screen_[size_t(y) * width() + x]; }
    void fill(EFI_GRAPHICS_OUTPUT_BLT_PIXEL colour);
    const std::vector<BltCall> &calls() const { return calls_; }
    // Fails Blt calls only; `after` counts Blt calls of every operation.
    void fail_blt(EFI_STATUS status, unsigned after = 0, unsigned times = ALWAYS) {
        blt_fault_.fail(status, after, times);
    }

    // Firmware side, called through the protocol.
    EFI_STATUS query_mode(UINT32 mode, UINTN *size, EFI_GRAPHICS_OUTPUT_MODE_INFORMATION **info);
    EFI_STATUS set_mode(UINT32 mode);
    EFI_STATUS blt(EFI_GRAPHICS_OUTPUT_BLT_PIXEL *buffer, EFI_GRAPHICS_OUTPUT_BLT_OPERATION operation, UINTN source_x,
                   UINTN source_y, UINTN destination_x, UINTN destination_y, UINTN width, UINTN height, UINTN delta);

private:
    bool on_screen(UINTN x, UINTN y, UINTN width, UINTN height) const;
    EFI_STATUS blt_checked(EFI_GRAPHICS_OUTPUT_BLT_PIXEL *buffer, const BltCall &c);

    Firmware &fw_;
    OwnedInterface<EFI_GRAPHICS_OUTPUT_PROTOCOL, GraphicsOutput> interface_ = {};
    EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE mode_ = {};
    EFI_GRAPHICS_OUTPUT_MODE_INFORMATION info_ = {};
    EFI_HANDLE handle_ = nullptr;
    std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> screen_;
    std::vector<BltCall> calls_;
    FaultPlan blt_fault_;
};

} // namespace fakefw
