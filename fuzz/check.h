// The check every harness makes: a broken promise is reported and ends the process, which
// libFuzzer records as a finding with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

[[noreturn]] inline void fail(const std::string &what) {
    fprintf(stderr, "fuzz: %s\n", what.c_str());
    fflush(stderr);
    abort();
}

} // namespace fuzz

#define FUZZ_CHECK(cond)                                                                                               \
    ((cond) ? void(0) : ::fuzz::fail(std::string(__FILE__ ":") + std::to_string(__LINE__) + ": " #cond))
