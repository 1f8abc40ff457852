// Names from the ESP: the boot counter stripped from the image's name, separators normalised,
// the sidecar directory derived from the image's file path, and the listing rules of the
// add-on and sidecar directories over a directory of fuzzed names.
#include "support.h"

#include <algorithm>

#include "boot/dir-names.h"
#include "boot/file-util.h"
#include "boot/util.h"
#include "support/device-path-builder.h"

namespace {

bool is_digit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Either `after` is `before`, or `before` with one "+N" or "+N-M" removed at the first '+' of
// the file name (after the last '\'), just before a '.' or the end.
bool counter_stripped(const std::u16string &before, const std::u16string &after) {
    if (after == before)
        return true;
    size_t name = before.rfind(u'\\');
    size_t plus = before.find(u'+', name == std::u16string::npos ? 0 : name + 1);
    if (plus == std::u16string::npos || after.compare(0, plus, before, 0, plus) != 0)
        return false;
    size_t removed = before.size() - after.size();
    if (removed < 2 || before.compare(plus + removed, std::u16string::npos, after, plus) != 0)
        return false;
    std::u16string counter = before.substr(plus + 1, removed - 1);
    size_t dash = counter.find(u'-');
    for (size_t i = 0; i < counter.size(); i++)
        if (!is_digit(counter[i]) && i != dash)
            return false;
    return counter.front() != u'-' && counter.back() != u'-';
}

void check_text_rules(const std::u16string &text) {
    std::u16string s = text;
    korvane::convert_efi_path(s.data());
    std::u16string converted(s.c_str());
    FUZZ_CHECK(converted.find(u'/') == std::u16string::npos);
    FUZZ_CHECK(converted.find(u"\\\\") == std::u16string::npos);
    FUZZ_CHECK(converted.size() <= text.size());

    s = text;
    korvane::strip_boot_counter(s.data());
    FUZZ_CHECK(counter_stripped(text, std::u16string(s.c_str())));
}

void check_extra_dir(const std::u16string &name) {
    testsupport::DevicePathBytes path = testsupport::dp_path({testsupport::dp_file_node(name)});
    korvane::PoolPtr<char16_t> dir(
        korvane::image_extra_dir(reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(path.data())));
    if (!dir)
        return;
    std::u16string d(dir.get());
    FUZZ_CHECK(d.size() >= 8 && d.compare(d.size() - 8, 8, u".extra.d") == 0);
    FUZZ_CHECK(d.find(u'/') == std::u16string::npos);
}

bool acceptable(const std::u16string &name, bool directory) {
    if (name.empty() || name[0] == u'.' || directory || name.size() > 255)
        return false;
    for (char16_t c : name)
        if (c > 0x7f)
            return false;
    std::u16string lower;
    for (char16_t c : name)
        lower.push_back(c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c);
    return lower.size() >= 5 && lower.compare(lower.size() - 5, 5, u".cred") == 0 &&
           !(lower.size() >= 9 && lower.compare(lower.size() - 9, 9, u".raw.cred") == 0);
}

// Names a FAT directory can hold: no separator, no NUL, unique regardless of ASCII case.
bool usable_name(const std::u16string &name, const std::vector<std::u16string> &taken) {
    if (name.empty() || name == u"." || name == u".." || name.find(u'\\') != std::u16string::npos)
        return false;
    auto fold = [](std::u16string s) {
        for (char16_t &c : s)
            if (c >= u'a' && c <= u'z')
                c = char16_t(c - 32);
        return s;
    };
    for (const std::u16string &t : taken)
        if (fold(t) == fold(name))
            return false;
    return true;
}

void check_listing(fakefw::Firmware &fw, fuzz::Input &in) {
    fakefw::Volume &volume = fw.file_systems().add_volume();
    volume.add_directory(u"\\d");
    std::vector<std::u16string> taken, expected;
    while (!in.empty()) {
        bool directory = in.byte() & 1;
        std::u16string name = fuzz::utf16_of(in.part());
        name = name.substr(0, name.find(u'\0'));
        if (!usable_name(name, taken))
            continue;
        taken.push_back(name);
        if (directory)
            volume.add_directory(u"\\d\\" + name);
        else
            volume.add_file(u"\\d\\" + name, "x");
        if (acceptable(name, directory))
            expected.push_back(name);
    }
    std::sort(expected.begin(), expected.end());

    korvane::FileHandle root, dir;
    FUZZ_CHECK(korvane::open_volume_root(volume.handle(), root.out()) == EFI_SUCCESS);
    FUZZ_CHECK(korvane::open_directory(root.get(), u"\\d", dir.out()) == EFI_SUCCESS);
    korvane::NameList names;
    FUZZ_CHECK(korvane::list_directory_names(dir.get(), u".cred", u".raw.cred", "extra", &names) == EFI_SUCCESS);
    FUZZ_CHECK(names.size() == expected.size());
    for (size_t i = 0; i < names.size(); i++)
        FUZZ_CHECK(std::u16string(names[i]) == expected[i]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    std::u16string text = fuzz::utf16_of(in.part());
    // A name fits in one device path node.
    text = text.substr(0, std::min(text.find(u'\0'), size_t(16000)));
    fuzz::with_firmware([&](fakefw::Firmware &fw) {
        check_text_rules(text);
        check_extra_dir(text);
        check_listing(fw, in);
    });
    return 0;
}
