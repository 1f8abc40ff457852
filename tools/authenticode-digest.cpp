#include "authenticode-digest.h"

#include "pe-format.h"
#include "tool-error.h"

#include <algorithm>
#include <cassert>
#include <openssl/evp.h>

namespace korvane {

namespace {

using namespace pe;

struct RawData {
    std::uint32_t pointer;
    std::uint32_t size;
};

std::vector<RawData> sections_by_file_offset(std::span<const std::uint8_t> h, std::size_t pe_header) {
    std::size_t count = load_le16(&h[pe_header + COFF_NUMBER_OF_SECTIONS]);
    std::size_t table = pe_header + OPTIONAL_HEADER + load_le16(&h[pe_header + COFF_SIZE_OF_OPTIONAL_HEADER]);
    assert(table + count * SECTION_HEADER_SIZE <= h.size());
    std::vector<RawData> sections;
    for (std::size_t i = 0; i < count; i++) {
        const std::uint8_t *s = &h[table + i * SECTION_HEADER_SIZE];
        if (std::uint32_t size = load_le32(s + SECTION_SIZE_OF_RAW_DATA))
            sections.push_back({load_le32(s + SECTION_POINTER_TO_RAW_DATA), size});
    }
    std::stable_sort(sections.begin(), sections.end(),
                     [](const RawData &a, const RawData &b) { return a.pointer < b.pointer; });
    return sections;
}

void check_file_order(const std::vector<ByteRange> &ranges, std::uint64_t certificate_offset, const std::string &what) {
    std::uint64_t end = 0;
    for (const ByteRange &r : ranges) {
        if (r.offset < end)
            throw ToolError(what, "cannot be signed while it is written: its section data does not follow the "
                                  "headers without gaps");
        end = r.offset + r.length;
    }
    if (end > certificate_offset)
        throw ToolError(what, "cannot be signed: its sections reach beyond " + hex_text(certificate_offset));
}

} // namespace

std::vector<ByteRange> authenticode_ranges(std::span<const std::uint8_t> h, std::uint64_t certificate_offset,
                                           const std::string &what) {
    std::size_t pe_header = load_le32(&h[DOS_LFANEW]);
    std::size_t optional = pe_header + OPTIONAL_HEADER;
    if (load_le32(&h[optional + OPT_NUMBER_OF_RVA_AND_SIZES]) <= DIRECTORY_SECURITY)
        throw ToolError(what, "cannot be signed: its optional header has no certificate table entry");
    std::uint64_t checksum = optional + OPT_CHECKSUM;
    std::uint64_t entry = optional + OPT_DATA_DIRECTORIES + DIRECTORY_SECURITY * DATA_DIRECTORY_SIZE;
    std::uint64_t size_of_headers = load_le32(&h[optional + OPT_SIZE_OF_HEADERS]);
    if (size_of_headers < entry + DATA_DIRECTORY_SIZE)
        throw ToolError(what, "cannot be signed: SizeOfHeaders ends inside the optional header");

    std::vector<ByteRange> ranges{{0, checksum},
                                  {checksum + 4, entry - checksum - 4},
                                  {entry + DATA_DIRECTORY_SIZE, size_of_headers - entry - DATA_DIRECTORY_SIZE}};
    // Microsoft's rule: what follows the sections starts at the sum of the sizes hashed so
    // far, which is where the last section ends only when nothing lies between them.
    std::uint64_t hashed = size_of_headers;
    for (const RawData &s : sections_by_file_offset(h, pe_header)) {
        ranges.push_back({s.pointer, s.size});
        hashed += s.size;
    }
    if (certificate_offset > hashed)
        ranges.push_back({hashed, certificate_offset - hashed});
    check_file_order(ranges, certificate_offset, what);
    return ranges;
}

struct AuthenticodeHash::Context {
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    std::uint64_t position = 0; // the file offset the next bytes must have
    ~Context() { EVP_MD_CTX_free(md); }
};

AuthenticodeHash::AuthenticodeHash(std::vector<ByteRange> ranges)
    : ranges_(std::move(ranges)), context_(std::make_unique<Context>()) {
    if (!context_->md || EVP_DigestInit_ex(context_->md, EVP_sha256(), nullptr) != 1)
        throw std::bad_alloc();
}

AuthenticodeHash::~AuthenticodeHash() = default;

void AuthenticodeHash::add(std::uint64_t offset, const std::uint8_t *data, std::size_t size) {
    assert(offset == context_->position);
    std::uint64_t end = offset + size;
    context_->position = end;
    for (; next_ < ranges_.size(); next_++) {
        const ByteRange &r = ranges_[next_];
        std::uint64_t from = std::max(offset, r.offset), to = std::min(end, r.offset + r.length);
        if (from < to)
            EVP_DigestUpdate(context_->md, data + (from - offset), to - from);
        if (r.offset + r.length > end)
            break;
    }
}

Sha256Digest AuthenticodeHash::finish() {
    assert(next_ == ranges_.size());
    Sha256Digest digest;
    unsigned int size = 0;
    EVP_DigestFinal_ex(context_->md, digest.data(), &size);
    assert(size == digest.size());
    return digest;
}

} // namespace korvane
