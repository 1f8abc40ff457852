// Checks shared by the tool tests: that an output image is the stub with the expected
// sections appended, laid out and summed the way the PE format asks.
#pragma once

#include "pe-test-image.h"
#include "tool-runner.h"

#include <string>
#include <utility>
#include <vector>

namespace uki_test {

using Expected = std::vector<std::pair<std::string, Bytes>>;

Bytes text(const std::string &s);

// Compares out against stub followed by appended (names and exact contents, in order).
// stub_end is where the stub's kept data ends (its file size unless a signature was dropped).
// pointer_fields are file offsets of 32-bit file pointers inside the stub's section data,
// which change when the data moves; the caller checks them.
void check_layout(const Image &stub, const Image &out, const Expected &appended, std::uint64_t stub_end,
                  const std::vector<std::uint32_t> &pointer_fields = {});

// Runs korvane-uki build with args and expects success with no message; returns the output.
Image build_ok(const std::vector<std::string> &args, const std::string &output);

} // namespace uki_test
