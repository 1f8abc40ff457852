#include "image-signing.h"

#include "authenticode-signature.h"
#include "pe-format.h"
#include "tool-error.h"

#include <cassert>
#include <limits>

namespace korvane {

namespace {

using namespace pe;

// The table starts at a multiple of 8 bytes; its entry (which authenticode_ranges found)
// holds a file offset and a size.
std::uint64_t place_table(std::span<std::uint8_t> headers, std::uint64_t image_end, std::size_t size,
                          const std::string &what) {
    std::uint64_t offset = align_up(image_end, 8);
    if (offset + size > std::numeric_limits<std::uint32_t>::max())
        throw ToolError(what, "the signed image would be larger than 4 GiB");
    std::size_t optional = load_le32(&headers[DOS_LFANEW]) + OPTIONAL_HEADER;
    assert(load_le32(&headers[optional + OPT_NUMBER_OF_RVA_AND_SIZES]) > DIRECTORY_SECURITY);
    std::uint8_t *entry = &headers[optional + OPT_DATA_DIRECTORIES + DIRECTORY_SECURITY * DATA_DIRECTORY_SIZE];
    store_le32(entry, static_cast<std::uint32_t>(offset));
    store_le32(entry + 4, static_cast<std::uint32_t>(size));
    return offset;
}

} // namespace

ImageSigner::ImageSigner(const SigningKey &key, std::span<std::uint8_t> headers, std::uint64_t image_end,
                         const std::string &what)
    : key_(key), table_size_(certificate_table_size(key)),
      hash_(authenticode_ranges(headers, align_up(image_end, 8), what)) {
    certificate_offset_ = place_table(headers, image_end, table_size_, what);
}

std::vector<std::uint8_t> ImageSigner::certificate_table() {
    std::vector<std::uint8_t> table = korvane::certificate_table(key_, hash_.finish());
    assert(table.size() == table_size_);
    return table;
}

} // namespace korvane
