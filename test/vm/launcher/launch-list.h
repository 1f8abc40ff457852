// The launcher's list of images to start, one line each:
//
//     <path on the ESP>[ <load options as hex>]
//     <path on the ESP> shell[ <argument as hex>]...
//
// e.g. "\EFI\Linux\uki.efi 710075006900650074000000" for the UTF-16 text "quiet" and its NUL.
// Without hex the image gets no load options. The second form starts the image as a shell
// would, with shell parameters whose Argv[0] is the path; each argument is its UTF-16LE
// units without a NUL, so that it may hold blanks. CR before LF and empty lines are ignored.
//
// Two more forms do what a boot loader does before it starts an image:
//
//     variable <name> <value as hex>
//     partition <unique partition GUID as hex of its 16 bytes as stored>
//
// The first sets a volatile boot loader interface variable (e.g. "variable LoaderFeatures
// 4000000000000000" for bit 6); the second makes the paths of the lines after it refer to the
// file system of that GPT partition instead of the launcher's own.
//
// For the benchmark, the line "timestamp" makes the launcher publish, for every image after it,
// the time stamp counter read right before StartImage (start-time.h).
#pragma once

#include "boot/util.h"

namespace korvane::vmtest {

constexpr size_t SHELL_ARGS_MAX = 16;
constexpr size_t PARTITION_GUID_SIZE = 16;

enum class LaunchKind { Image, Variable, Partition, Timestamp };

struct LaunchEntry {
    LaunchKind kind = LaunchKind::Image;
    PoolPtr<char16_t> path; // the image's path; for a variable, its name
    // Image: the load options, null when the line has none; variable: its value; partition:
    // the GUID's bytes.
    PoolPtr<uint8_t> options;
    size_t options_size = 0;
    bool shell = false;
    PoolPtr<char16_t> shell_args[SHELL_ARGS_MAX]; // Argv[1] onwards
    size_t n_shell_args = 0;
};

// Parses the line that starts at *offset in (data, size) and moves *offset past it. false at
// the end of the list; EFI_INVALID_PARAMETER in *ret_status for a line that is no entry.
bool next_launch_entry(const uint8_t *data, size_t size, size_t *offset, LaunchEntry *ret, EFI_STATUS *ret_status);

} // namespace korvane::vmtest
