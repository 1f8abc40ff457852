#include "file-io.h"

#include "tool-error.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <iterator>
#include <random>
#include <semaphore>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace korvane {

namespace {

[[noreturn]] void fail(const std::string &what, const std::string &doing) {
    throw ToolError(what, doing + ": " + errno_text(errno));
}

void pread_exact(int fd, void *buffer, std::size_t size, std::uint64_t offset, const std::string &what) {
    auto *p = static_cast<std::uint8_t *>(buffer);
    while (size > 0) {
        ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail(what, "cannot read");
        if (n == 0)
            throw ToolError(what, "the file shrank while it was being read");
        p += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
}

// The temporary output is removed when a signal ends the program, too. Only one output
// is written at a time.
char pending_temp_path[4096];

extern "C" void remove_temp_and_reraise(int signal) {
    if (pending_temp_path[0] != 0)
        ::unlink(pending_temp_path);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

constexpr int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ};
struct sigaction saved_actions[std::size(CLEANUP_SIGNALS)];

// A signal the caller ignores stays ignored (a write past a file size limit then fails
// with an error instead).
void watch_temp(const std::string &path) {
    if (path.size() >= sizeof pending_temp_path)
        return;
    std::memcpy(pending_temp_path, path.c_str(), path.size() + 1);
    struct sigaction action = {};
    action.sa_handler = remove_temp_and_reraise;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(CLEANUP_SIGNALS); i++) {
        sigaction(CLEANUP_SIGNALS[i], nullptr, &saved_actions[i]);
        if (saved_actions[i].sa_handler != SIG_IGN)
            sigaction(CLEANUP_SIGNALS[i], &action, nullptr);
    }
}

void unwatch_temp() {
    if (pending_temp_path[0] == 0)
        return;
    for (std::size_t i = 0; i < std::size(CLEANUP_SIGNALS); i++)
        sigaction(CLEANUP_SIGNALS[i], &saved_actions[i], nullptr);
    pending_temp_path[0] = 0;
}

std::string directory_of(const std::string &path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_name(const std::string &path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int create_temp(const std::string &path, std::string &temp_path) {
    std::random_device rng;
    std::string prefix = directory_of(path) + "/." + base_name(path) + ".tmp-";
    for (int attempt = 0; attempt < 100; attempt++) {
        temp_path = prefix + std::to_string(rng());
        // The mode is the one a plain new file gets, so the umask applies.
        int fd = ::open(temp_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

} // namespace

InputFile::InputFile(std::string path) : path_(std::move(path)) {
    // Opening a FIFO must not wait for a writer; regular files ignore O_NONBLOCK.
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0)
        fail(path_, "cannot open");
    struct stat st;
    if (::fstat(fd_, &st) != 0) {
        int error = errno;
        ::close(fd_);
        throw ToolError(path_, "cannot stat: " + errno_text(error));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd_);
        throw ToolError(path_, "not a regular file");
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
}

InputFile::~InputFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

InputFile::InputFile(InputFile &&other) noexcept
    : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)), size_(other.size_) {}

void InputFile::read_at(void *buffer, std::size_t size, std::uint64_t offset) const {
    pread_exact(fd_, buffer, size, offset, path_);
}

void InputFile::check_unchanged() const {
    struct stat st;
    if (::fstat(fd_, &st) != 0)
        fail(path_, "cannot stat");
    if (static_cast<std::uint64_t>(st.st_size) != size_)
        throw ToolError(path_, "the file changed size while it was being read");
}

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
    fd_ = create_temp(path_, temp_path_);
    if (fd_ < 0) {
        int error = errno;
        throw ToolError(path_, "cannot create a temporary file in " + directory_of(path_) + ": " + errno_text(error));
    }
    watch_temp(temp_path_);
}

OutputFile::~OutputFile() {
    if (fd_ < 0)
        return;
    ::close(fd_);
    ::unlink(temp_path_.c_str());
    unwatch_temp();
}

void OutputFile::write_at(const void *data, std::size_t size, std::uint64_t offset) {
    const auto *p = static_cast<const std::uint8_t *>(data);
    while (size > 0) {
        ssize_t n = ::pwrite(fd_, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail(path_, "cannot write");
        p += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
}

void OutputFile::commit() {
    int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) {
        int error = errno;
        ::unlink(temp_path_.c_str());
        unwatch_temp();
        throw ToolError(path_, "cannot write: " + errno_text(error));
    }
    if (::rename(temp_path_.c_str(), path_.c_str()) != 0) {
        int error = errno;
        ::unlink(temp_path_.c_str());
        unwatch_temp();
        throw ToolError(path_, "cannot create: " + errno_text(error));
    }
    unwatch_temp();
}

void DataCopier::copy(const InputFile &in, std::uint64_t in_offset, std::uint64_t size, OutputFile &out,
                      std::uint64_t out_offset, const ChunkSink &sink, bool in_parallel) {
    if (in_parallel && size > CHUNK) {
        copy_in_parallel(in, in_offset, size, out, out_offset, sink);
        return;
    }
    std::vector<std::uint8_t> &buffer = buffers_[0];
    buffer.resize(CHUNK);
    while (size > 0) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, CHUNK));
        in.read_at(buffer.data(), n, in_offset);
        sink(buffer.data(), n);
        out.write_at(buffer.data(), n, out_offset);
        in_offset += n;
        out_offset += n;
        size -= n;
    }
}

// The reading thread fills the buffers in turn and writes each out; the sink's thread takes
// them in the same order and hands each back when done. A chunk of 0 bytes ends the sink's
// thread, also when reading or writing throws; what the sink throws is thrown here after.
void DataCopier::copy_in_parallel(const InputFile &in, std::uint64_t in_offset, std::uint64_t size,
                                  OutputFile &out, std::uint64_t out_offset, const ChunkSink &sink) {
    std::size_t filled_size[BUFFERS] = {};
    std::counting_semaphore<BUFFERS> free_buffers(BUFFERS), filled(0);
    std::exception_ptr sink_failure;
    std::thread sinking([&] {
        for (std::size_t b = 0; filled.acquire(), filled_size[b] != 0; b = (b + 1) % BUFFERS) {
            try {
                if (!sink_failure)
                    sink(buffers_[b].data(), filled_size[b]);
            } catch (...) {
                sink_failure = std::current_exception();
            }
            free_buffers.release();
        }
    });
    std::size_t b = 0;
    auto hand_over = [&](std::size_t n) {
        filled_size[b] = n;
        filled.release();
        b = (b + 1) % BUFFERS;
    };
    auto finish = [&] {
        free_buffers.acquire();
        hand_over(0);
        sinking.join();
    };
    try {
        while (size > 0) {
            free_buffers.acquire();
            buffers_[b].resize(CHUNK);
            std::uint8_t *data = buffers_[b].data();
            std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, CHUNK));
            in.read_at(data, n, in_offset);
            hand_over(n);
            out.write_at(data, n, out_offset);
            in_offset += n;
            out_offset += n;
            size -= n;
        }
    } catch (...) {
        finish();
        throw;
    }
    finish();
    if (sink_failure)
        std::rethrow_exception(sink_failure);
}

} // namespace korvane
