// UTF-8 to UTF-16 conversion of text from sections, SMBIOS and add-ons: the first byte
// bounds how much of the rest may be read. The output holds no surrogates, is never longer
// than the bytes read, and valid UTF-8 within the Basic Multilingual Plane converts exactly.
#include "support.h"

#include <cstring>

#include "boot/util.h"

namespace {

// The code points of `s` when it is UTF-8 in its shortest form and within U+FFFF (no
// surrogates); false otherwise.
bool strict_bmp_utf8(const uint8_t *s, size_t n, std::u16string *out) {
    for (size_t i = 0; i < n;) {
        uint8_t c = s[i];
        if (c < 0x80) {
            out->push_back(c);
            i++;
            continue;
        }
        size_t len = (c & 0xe0) == 0xc0 ? 2 : (c & 0xf0) == 0xe0 ? 3 : 0;
        if (len == 0 || i + len > n)
            return false;
        uint32_t v = c & (len == 2 ? 0x1f : 0x0f);
        for (size_t k = 1; k < len; k++) {
            if ((s[i + k] & 0xc0) != 0x80)
                return false;
            v = v << 6 | (s[i + k] & 0x3f);
        }
        if ((len == 2 && v < 0x80) || (len == 3 && v < 0x800) || (v >= 0xd800 && v < 0xe000))
            return false;
        out->push_back(static_cast<char16_t>(v));
        i += len;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    size_t limit = in.u16();
    fuzz::Bytes text = in.rest();
    fuzz::with_firmware([&](fakefw::Firmware &) {
        fuzz::Exact exact(text);
        auto *bytes = reinterpret_cast<char *>(exact.data());
        size_t n = limit < text.size() ? limit : text.size();
        korvane::PoolPtr<char16_t> out(korvane::xstr8_to_utf16(text.empty() ? nullptr : bytes, n));
        FUZZ_CHECK(!out == (text.empty() || n == 0));
        if (out) {
            std::u16string got(out.get());
            size_t len = strnlen(bytes, n);
            FUZZ_CHECK(got.size() <= len);
            for (char16_t u : got)
                FUZZ_CHECK(u < 0xd800 || u >= 0xe000);
            std::u16string expected;
            if (strict_bmp_utf8(reinterpret_cast<const uint8_t *>(bytes), len, &expected))
                FUZZ_CHECK(got == expected);
        }
    });
    return 0;
}
