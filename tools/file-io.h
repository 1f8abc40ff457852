// Files the image tools read and write: inputs opened once and read by offset, the output
// written to a temporary file beside its final name and renamed into place only when done,
// and chunked copies from one to the other that never hold a whole file in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace korvane {

class InputFile {
public:
    // Opens a regular file; throws ToolError naming path otherwise.
    explicit InputFile(std::string path);
    ~InputFile();
    InputFile(InputFile &&other) noexcept;
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;
    InputFile &operator=(InputFile &&) = delete;

    const std::string &path() const { return path_; }
    std::uint64_t size() const { return size_; }

    // Reads exactly size bytes at offset.
    void read_at(void *buffer, std::size_t size, std::uint64_t offset) const;
    // Throws when the file's size is no longer the one it had when opened.
    void check_unchanged() const;

private:
    std::string path_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

class OutputFile {
public:
    // Creates a temporary file in path's directory; path itself is untouched until commit.
    explicit OutputFile(std::string path);
    // Removes the temporary file unless committed.
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    const std::string &path() const { return path_; }

    void write_at(const void *data, std::size_t size, std::uint64_t offset);
    // Closes the file and renames it to path.
    void commit();

private:
    std::string path_;
    std::string temp_path_;
    int fd_ = -1;
};

// Sees each chunk of data a copy moves, in order.
using ChunkSink = std::function<void(const std::uint8_t *data, std::size_t size)>;

// Copies file data in chunks, read once into a buffer and written from it, so that sink sees
// every byte without a second read.
class DataCopier {
public:
    static constexpr std::size_t CHUNK = 1 << 20;

    // With in_parallel, a costly sink (digests of the data) runs in a second thread, a few
    // chunks behind the reading and writing, so that neither waits on the other's every step.
    void copy(const InputFile &in, std::uint64_t in_offset, std::uint64_t size, OutputFile &out,
              std::uint64_t out_offset, const ChunkSink &sink, bool in_parallel = false);

private:
    static constexpr std::size_t BUFFERS = 4;

    void copy_in_parallel(const InputFile &in, std::uint64_t in_offset, std::uint64_t size, OutputFile &out,
                          std::uint64_t out_offset, const ChunkSink &sink);

    std::vector<std::uint8_t> buffers_[BUFFERS];
};

} // namespace korvane
