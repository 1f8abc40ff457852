// What the harnesses over the stub share: a firmware per input that must end with nothing
// leaked, nothing open and no halt, and exact copies of input bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "check.h"
#include "fakefw/fakefw.h"
#include "input.h"

namespace fuzz {

// Runs `body` on a fresh fakefw. A halt of the machine, a fakefw complaint (an unimplemented
// service, a foreign handle, ...) or, once `body` has returned, any live pool or page
// allocation, open file or loaded image is a finding.
void with_firmware(const std::function<void(fakefw::Firmware &)> &body);

// Bytes in a heap block of exactly their size (one byte for none), so that a read past them is
// caught.
class Exact {
public:
    explicit Exact(const Bytes &b);
    ~Exact();
    Exact(const Exact &) = delete;
    Exact &operator=(const Exact &) = delete;
    uint8_t *data() const { return p_; }
    size_t size() const { return size_; }

private:
    uint8_t *p_;
    size_t size_;
};

// Whether [p, p + n) lies within [base, base + size).
bool inside(const void *p, size_t n, const void *base, size_t size);

} // namespace fuzz
