#include "uki-addon.h"

#include "our-images.h"
#include "section-content.h"
#include "tool-error.h"
#include "uki-sections.h"

namespace korvane {

void build_addon(const AddonRequest &request, std::ostream &warnings) {
    std::string base = request.base.empty() ? find_our_image(ADDON_BASE_FILE, "addon") : request.base;
    append_sections(
        base, request.sections, request.output, request.time_stamp, request.signing_key,
        [&](std::span<const std::string> names, std::span<const SectionContent>) {
            check_addon_sections(names, request.output);
        },
        warnings);
}

} // namespace korvane
