// `korvane-uki inspect`: what an image holds, for a person or (as JSON) for a script: its PE
// facts, its sections by group, the texts the stub reads, and the PCR 11 values it will
// produce.
#pragma once

#include <ostream>
#include <string>

namespace korvane {

void run_inspect(const std::string &image, bool json, std::ostream &out);

} // namespace korvane
