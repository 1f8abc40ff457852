// What the screen shows when the kernel starts, read back through the graphics output
// protocol (Blt EfiBltVideoToBltBuffer of the whole current mode). A test renders the frame it
// expects on its own and compares the digest; the extent and its pixels say where it differs.
#pragma once

#include "../report.h"

namespace korvane::vmtest {

// Pixels are reported as blue, green, red (one byte each; the reserved byte is not shown on
// screen and is left out), frames row by row from the top.
//
//   screen.locate-status   LocateProtocol's status for the graphics output protocol
//   screen.width           the current mode's horizontal resolution
//   screen.height          its vertical resolution
//   screen.read-status     the status of reading the whole screen back
//   screen.sha256          SHA-256 of the frame, 4 bytes per pixel: blue, green, red, 0
//   screen.corner          the pixel at (0, 0)
//   screen.extent.x        the smallest rectangle holding every pixel whose colour differs
//   screen.extent.y        from the corner's (all four 0 when none does)
//   screen.extent.width
//   screen.extent.height
//   screen.extent.pixels   the rectangle's pixels, 3 bytes each (absent when it holds more
//                          than 16384 pixels)
void report_screen(Report &report);

} // namespace korvane::vmtest
