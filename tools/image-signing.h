// Signing an image while it is written: before the first byte, the headers get the place
// and size of the certificate table that will follow the image; the Authenticode digest is
// taken from the bytes on their way out; at the end the table is made from it.
#pragma once

#include "authenticode-digest.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace korvane {

class SigningKey;

class ImageSigner {
public:
    // headers is the output's header region, final but for the CheckSum; image_end is where
    // the image's data ends. Throws ToolError (with what) when the image cannot be signed.
    ImageSigner(const SigningKey &key, std::span<std::uint8_t> headers, std::uint64_t image_end,
                const std::string &what);

    // Feed it every byte of the file from offset 0 up to certificate_offset().
    StreamSink &digest() { return hash_; }
    std::uint64_t certificate_offset() const { return certificate_offset_; }
    // The certificate table, to be written at certificate_offset().
    std::vector<std::uint8_t> certificate_table();

private:
    const SigningKey &key_;
    std::uint64_t certificate_offset_;
    std::size_t table_size_;
    AuthenticodeHash hash_;
};

} // namespace korvane
