// Running korvane-uki (and other programs) as a child process, in a scratch directory.
#pragma once

#include "pe-test-image.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace uki_test {

struct RunResult {
    int exit_code = -1; // -1 when ended by a signal
    int signal = 0;
    std::string out, err;
};

struct RunLimits {
    off_t max_file_size = 0; // RLIMIT_FSIZE for the child, 0 for none
    bool ignore_sigxfsz = false;
};

RunResult run_program(const std::vector<std::string> &argv, const RunLimits &limits = {});
// korvane-uki with the given arguments.
RunResult run_uki(const std::vector<std::string> &args, const RunLimits &limits = {});

std::string uki_path();
std::string stub_path();       // the real stub, built with the tool
std::string addon_base_path(); // our add-on base image, as built

// A fresh directory, removed with its contents at the end of the test.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    std::string write(const std::string &name, const Bytes &data) const;
    std::string write(const std::string &name, const std::string &text) const;
    std::vector<std::string> entries() const; // names in the directory, sorted

private:
    std::string path_;
};

Bytes read_file(const std::string &path);
bool exists(const std::string &path);

} // namespace uki_test
