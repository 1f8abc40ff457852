// The device description that a ".hwids" table is made from: a small INI-like text.
//
//   # a comment; blank lines are ignored
//   [ACME Board A]                  one block per device, its name in brackets
//   compatible = acme,board-a       the devicetree compatible string it selects (required)
//   manufacturer = ACME             identity fields: the CHIDs are computed from them,
//   family = Boards                 one for each CHID type whose fields are all given
//   product-name = Board A
//   sku = A-1
//   baseboard-manufacturer = ACME
//   baseboard-product = A
//
//   [ACME Board B]
//   compatible = acme,board-b
//   chid = 2e0a5e6c-1b2f-5a77-9a4f-0c1d2e3f4a5b    or explicit CHIDs, one per line
//
// Blanks (spaces) around keys and values are ignored; a value keeps its tabs. A device has explicit CHIDs or identity
// fields, not both; identity fields need a manufacturer, which every CHID type hashes.
#pragma once

#include "chid.h"

#include <string>
#include <string_view>
#include <vector>

namespace korvane {

struct HwidDevice {
    std::string name;
    std::string compatible;
    std::vector<Chid> chids; // explicit ones in file order, or computed ones most specific first
};

// Parses text (read from path, which names it in messages); throws ToolError "path:line: why".
std::vector<HwidDevice> parse_hwids_description(std::string_view text, const std::string &path);

} // namespace korvane
