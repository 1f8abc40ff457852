// What the boot stub reads from a unified kernel image, as checks on an image being built:
// its section names, the grouping of sections into the base and profiles, and the kernel.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace korvane {

class InputFile;

inline constexpr std::string_view PROFILE_SECTION = ".profile";

// A name for a section header: 1 to 8 printable ASCII bytes. Throws ToolError naming what.
void check_section_name(const std::string &name, const std::string &what);

// Checks the section names of a whole image, in section-table order, the way the stub
// groups them: the base up to the first ".profile", then one profile per ".profile".
// Within a group the stub reads only the first section of a name (".dtbauto" aside, among
// which it chooses), so a repeated name is an error; and every group the stub can boot
// must find a ".linux" in itself or in the base. A ".sbat" belongs to the base: shim reads
// one for the whole image.
void check_profile_groups(std::span<const std::string> names, const std::string &what);

// Checks the section names of an add-on, in section-table order: the stub takes from it
// only .cmdline, .dtb, .dtbauto, .initrd and .ucode, needs at least one of them, skips an
// image that carries .linux, and reads the first section of a name (.dtbauto aside). An
// add-on has no profiles: the sections after a .profile would be out of the stub's sight.
void check_addon_sections(std::span<const std::string> names, const std::string &what);

// The kernel must be a PE image the stub can start: MZ and PE signatures, an x86-64 or
// compatibility (0) machine, at least one section, a PE32 or PE32+ optional header.
void check_kernel_image(const InputFile &kernel);

} // namespace korvane
