#include "tool-runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace uki_test {

namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

[[noreturn]] void exec_child(const std::vector<std::string> &argv, const RunLimits &limits, const std::string &out,
                             const std::string &err) {
    // No terminal: nothing may wait for input.
    if (!freopen("/dev/null", "r", stdin) || !freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr))
        _exit(126);
    if (limits.ignore_sigxfsz)
        std::signal(SIGXFSZ, SIG_IGN);
    if (limits.max_file_size) {
        struct rlimit limit = {static_cast<rlim_t>(limits.max_file_size), static_cast<rlim_t>(limits.max_file_size)};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

} // namespace

RunResult run_program(const std::vector<std::string> &argv, const RunLimits &limits) {
    // Captured through files outside the directories the tests inspect.
    std::string base = fs::temp_directory_path() / ("uki-run-" + std::to_string(getpid()));
    std::string out = base + ".out", err = base + ".err";
    pid_t pid = fork();
    if (pid == 0)
        exec_child(argv, limits, out, err);
    RunResult result;
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
        ADD_FAILURE() << "cannot run " << argv.at(0);
        return result;
    }
    if (WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    result.out = slurp(out);
    result.err = slurp(err);
    fs::remove(out);
    fs::remove(err);
    return result;
}

RunResult run_uki(const std::vector<std::string> &args, const RunLimits &limits) {
    std::vector<std::string> argv{uki_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, limits);
}

std::string uki_path() {
    return KORVANE_UKI_PATH;
}

std::string stub_path() {
    return KORVANE_STUB_PATH;
}

std::string addon_base_path() {
    return KORVANE_ADDON_PATH;
}

ScratchDir::ScratchDir() {
    std::string pattern = (fs::current_path() / "uki-scratch-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string ScratchDir::write(const std::string &name, const Bytes &data) const {
    std::string p = file(name);
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
    return p;
}

std::string ScratchDir::write(const std::string &name, const std::string &text) const {
    return write(name, Bytes(text.begin(), text.end()));
}

std::vector<std::string> ScratchDir::entries() const {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(path_))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

Bytes read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

bool exists(const std::string &path) {
    return fs::exists(path);
}

} // namespace uki_test
