#include "support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

#include "boot/smbios.h"

namespace fuzz {

namespace {

// fakefw reports through GoogleTest; outside a test run every failure ends the process here.
class AbortOnFailure : public testing::EmptyTestEventListener {
    void OnTestPartResult(const testing::TestPartResult &result) override {
        if (result.failed())
            fail(std::string(result.file_name() ? result.file_name() : "?") + ":" +
                 std::to_string(result.line_number()) + ": " + result.summary());
    }
};

[[maybe_unused]] const bool listener_installed = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new AbortOnFailure);
    return true;
}();

} // namespace

void with_firmware(const std::function<void(fakefw::Firmware &)> &body) {
    // Process-wide state of the stub that a real boot starts with empty.
    korvane::smbios_identity_cache = {};
    fakefw::Firmware fw;
    try {
        body(fw);
    } catch (const fakefw::Halted &h) {
        fail("the machine halted:\n" + h.console_text);
    }
    // The Firmware's destructor reports leaks and open files; the listener turns that into a crash.
}

Exact::Exact(const Bytes &b) : p_(static_cast<uint8_t *>(malloc(b.empty() ? 1 : b.size()))), size_(b.size()) {
    if (!b.empty())
        memcpy(p_, b.data(), b.size());
}

Exact::~Exact() { free(p_); }

bool inside(const void *p, size_t n, const void *base, size_t size) {
    auto a = reinterpret_cast<uintptr_t>(p), b = reinterpret_cast<uintptr_t>(base);
    return a >= b && a - b <= size && n <= size - (a - b);
}

} // namespace fuzz
