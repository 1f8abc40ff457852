// The kernel command line: the caller's arguments against the embedded ".cmdline" under the
// Secure Boot rules, then the add-on and SMBIOS extras. Texts from outside the image are
// measured into PCR 12 before they are used.
#pragma once

#include "efi/loaded-image.h"
#include "pe.h"
#include "util.h"

namespace korvane {

// The longest command-line text taken from outside the image (load options, shell arguments,
// an add-on, SMBIOS), in characters: far beyond what any kernel accepts, and small enough that
// copying, measuring and joining such texts never runs the firmware out of memory. A longer
// text is logged and passed over.
constexpr size_t CMDLINE_TEXT_MAX = 64 * 1024;

bool parse_profile_from_argument(const char16_t *argument, uint32_t *ret_profile);
// On success *cmdline becomes what follows the selection (and a blank after it).
bool parse_profile_from_cmdline(PoolPtr<char16_t> *cmdline, uint32_t *ret_profile);

// The profile and the raw command line the caller gave, from the shell or the load options.
void process_arguments(EFI_HANDLE image, const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, uint32_t *ret_profile,
                       PoolPtr<char16_t> *ret_cmdline);

// Control units and DEL become blanks; leading and trailing ones are dropped.
void tidy_command_line(char16_t *s);

void settle_command_line(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const PeSectionSpan *sections,
                         PoolPtr<char16_t> *cmdline, int *parameters_measured);

// Tidies, measures and appends `extra` (consumed) to the command line.
void cmdline_append_extra(PoolPtr<char16_t> *cmdline, PoolPtr<char16_t> extra, int *parameters_measured);

void cmdline_append_addons(const char16_t *addons_cmdline, PoolPtr<char16_t> *cmdline, int *parameters_measured);
void cmdline_append_smbios(PoolPtr<char16_t> *cmdline, int *parameters_measured);

} // namespace korvane
