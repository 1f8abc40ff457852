#include "chid.h"

#include "tool-error.h"

#include <memory>
#include <openssl/evp.h>

namespace korvane {

namespace {

constexpr std::uint8_t CHID_NAMESPACE[16] = {0x70, 0xFF, 0xD8, 0x12, 0x4C, 0x7F, 0x4C, 0x7D};

// The UUID's text order of bytes and the EFI_GUID order: Data1, Data2 and Data3 reversed.
constexpr std::size_t GUID_BYTE_ORDER[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};

// Decodes one UTF-8 sequence at s[i]; returns the code point, or -1 for a malformed,
// overlong or surrogate sequence.
long decode_utf8(std::string_view s, std::size_t &i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char lead = byte(i);
    std::size_t length = lead < 0x80             ? 1
                         : (lead & 0xE0) == 0xC0 ? 2
                         : (lead & 0xF0) == 0xE0 ? 3
                         : (lead & 0xF8) == 0xF0 ? 4
                                                 : 0;
    if (length == 0 || i + length > s.size())
        return -1;
    long value = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; k++) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return -1;
        value = value << 6 | (byte(i + k) & 0x3F);
    }
    constexpr long SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
    i += length;
    if (value < SMALLEST[length] || (value >= 0xD800 && value <= 0xDFFF))
        return -1;
    return value;
}

struct DigestContextFree {
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};

} // namespace

std::u16string chid_normalize_field(std::string_view value, const std::string &what) {
    std::size_t begin = value.find_first_not_of(' ');
    if (begin == std::string_view::npos)
        return {};
    while (begin < value.size() && value[begin] == '0')
        begin++;
    std::size_t end = value.find_last_not_of(' ') + 1;
    std::string_view kept = begin < end ? value.substr(begin, end - begin) : std::string_view{};
    std::u16string out;
    for (std::size_t i = 0; i < kept.size();) {
        long c = decode_utf8(kept, i);
        if (c < 0)
            throw ToolError(what, "not UTF-8 text");
        if (c > 0xFFFF)
            throw ToolError(what, "characters beyond U+FFFF cannot be matched by the stub");
        if (c == 0)
            throw ToolError(what, "a NUL character");
        out.push_back(static_cast<char16_t>(c));
    }
    return out;
}

Chid chid_compute(const std::array<std::u16string, CHID_FIELD_COUNT> &fields, std::uint8_t mask) {
    std::basic_string<std::uint8_t> name(CHID_NAMESPACE, sizeof CHID_NAMESPACE);
    for (std::size_t f = 0; f < CHID_FIELD_COUNT; f++) {
        if (!(mask & (1u << f)))
            continue;
        std::u16string unit = f == CHID_MANUFACTURER ? fields[f] : u"&" + fields[f];
        for (char16_t c : unit) {
            name.push_back(static_cast<std::uint8_t>(c & 0xFF));
            name.push_back(static_cast<std::uint8_t>(c >> 8));
        }
    }
    std::unique_ptr<EVP_MD_CTX, DigestContextFree> ctx(EVP_MD_CTX_new());
    std::uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned digest_size = 0;
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), name.data(), name.size()) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), digest, &digest_size) != 1 || digest_size != 20)
        throw ToolError("SHA-1", "the crypto library failed");
    // A version-5 UUID: the version in the top bits of byte 6, the variant in byte 8.
    digest[6] = static_cast<std::uint8_t>((digest[6] & 0x0F) | 0x50);
    digest[8] = static_cast<std::uint8_t>((digest[8] & 0x3F) | 0x80);
    Chid chid;
    for (std::size_t i = 0; i < chid.size(); i++)
        chid[i] = digest[GUID_BYTE_ORDER[i]];
    return chid;
}

std::optional<Chid> chid_parse(std::string_view text) {
    constexpr std::size_t TEXT_SIZE = 36;
    if (text.size() != TEXT_SIZE)
        return std::nullopt;
    std::uint8_t bytes[16];
    std::size_t n = 0;
    for (std::size_t i = 0; i < TEXT_SIZE;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i++] != '-')
                return std::nullopt;
            continue;
        }
        auto nibble = [](char c) {
            return c >= '0' && c <= '9'   ? c - '0'
                   : c >= 'a' && c <= 'f' ? c - 'a' + 10
                   : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                          : -1;
        };
        int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        bytes[n++] = static_cast<std::uint8_t>(hi << 4 | lo);
        i += 2;
    }
    Chid chid;
    for (std::size_t i = 0; i < chid.size(); i++)
        chid[i] = bytes[GUID_BYTE_ORDER[i]];
    return chid;
}

std::string chid_text(const Chid &chid) {
    static constexpr char HEX[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < chid.size(); i++) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text.push_back('-');
        std::uint8_t b = chid[GUID_BYTE_ORDER[i]];
        text.push_back(HEX[b >> 4]);
        text.push_back(HEX[b & 0xF]);
    }
    return text;
}

} // namespace korvane
