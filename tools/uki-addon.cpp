#include "uki-addon.h"

#include "section-content.h"
#include "tool-error.h"
#include "uki-sections.h"

#include <cerrno>
#include <climits>
#include <unistd.h>

namespace korvane {

namespace {

std::string default_base() {
    char self[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self);
    if (n < 0)
        throw ToolError("addon", "cannot find this program's directory (" + errno_text(errno) + "); give --stub");
    if (static_cast<std::size_t>(n) >= sizeof self)
        throw ToolError("addon", "this program's path is too long; give --stub");
    std::string path(self, static_cast<std::size_t>(n));
    return path.substr(0, path.rfind('/') + 1) + ADDON_BASE_FILE;
}

} // namespace

void build_addon(const AddonRequest &request, std::ostream &warnings) {
    std::string base = request.base.empty() ? default_base() : request.base;
    append_sections(
        base, request.sections, request.output,
        [&](std::span<const std::string> names, std::span<const SectionContent>) {
            check_addon_sections(names, request.output);
        },
        warnings);
}

} // namespace korvane
