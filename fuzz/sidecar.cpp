// Sidecar packing over a fuzzed directory (names, kinds, contents): the archive lists the
// prefix directories and then exactly the files the name rules accept, in code-unit order,
// with their contents; a file that cannot be opened is left out; nothing matching gives no
// archive. It reads back as a strict newc archive.
#include "support.h"

#include <algorithm>
#include <cstring>

#include "boot/cpio.h"
#include "unit/newc-reader.h"

namespace {

enum Flags : uint8_t { SYSEXT = 1, FAIL_FIRST_OPEN = 2 };

std::u16string fold(std::u16string s) {
    for (char16_t &c : s)
        if (c >= u'a' && c <= u'z')
            c = char16_t(c - 32);
    return s;
}

bool ends_with_no_case(const std::u16string &s, const std::u16string &suffix) {
    return s.size() >= suffix.size() && fold(s.substr(s.size() - suffix.size())) == fold(suffix);
}

bool acceptable(const std::u16string &name, bool directory, const korvane::CpioPackRequest &r) {
    if (name[0] == u'.' || directory || name.size() > 255 || !ends_with_no_case(name, r.suffix))
        return false;
    if (r.skip_suffix && ends_with_no_case(name, r.skip_suffix))
        return false;
    return std::all_of(name.begin(), name.end(), [](char16_t c) { return c <= 0x7f; });
}

struct File {
    std::u16string name;
    fuzz::Bytes contents;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t flags = in.byte();
    korvane::CpioPackRequest request = {u"\\loader\\credentials", u".cred", nullptr, ".extra/global_credentials",
                                        0500, 0400, 12, u"Global credentials initrd"};
    if (flags & SYSEXT)
        request = {u"\\loader\\credentials", u".raw", u".confext.raw", ".extra/sysext", 0555, 0444, 13,
                   u"System extension initrd"};

    fuzz::with_firmware([&](fakefw::Firmware &fw) {
        fakefw::Volume &volume = fw.file_systems().add_volume();
        volume.add_directory(request.dir_path);
        std::vector<File> expected;
        std::vector<std::u16string> taken;
        while (!in.empty()) {
            bool directory = in.byte() & 1;
            std::u16string name = fuzz::utf16_of(in.part());
            name = name.substr(0, name.find(u'\0'));
            fuzz::Bytes contents = in.part();
            if (name.empty() || name == u"." || name == u".." || name.find(u'\\') != std::u16string::npos ||
                std::find(taken.begin(), taken.end(), fold(name)) != taken.end())
                continue;
            taken.push_back(fold(name));
            std::u16string path = std::u16string(request.dir_path) + u"\\" + name;
            if (directory)
                volume.add_directory(path);
            else
                volume.add_file(path, contents);
            if (acceptable(name, directory, request))
                expected.push_back({name, contents});
        }
        std::sort(expected.begin(), expected.end(), [](const File &a, const File &b) { return a.name < b.name; });
        bool any_accepted = !expected.empty();
        if ((flags & FAIL_FIRST_OPEN) && !expected.empty()) {
            volume.find(std::u16string(request.dir_path) + u"\\" + expected[0].name)->fail(fakefw::FileOp::Open,
                                                                                         EFI_DEVICE_ERROR);
            expected.erase(expected.begin());
        }

        EFI_LOADED_IMAGE_PROTOCOL loaded = {};
        loaded.DeviceHandle = volume.handle();
        korvane::CpioPages archive;
        bool measured = true;
        FUZZ_CHECK(korvane::pack_cpio(&loaded, request, &archive, &measured) == EFI_SUCCESS);
        FUZZ_CHECK(!measured);
        FUZZ_CHECK(!archive.pages == !any_accepted);
        if (!any_accepted) {
            FUZZ_CHECK(archive.size == 0);
            return;
        }
        newctest::Parsed parsed = newctest::parse_newc(std::string(archive.pages.ptr<const char>(), archive.size));
        FUZZ_CHECK(parsed.error.empty() && parsed.trailer);
        std::vector<const newctest::Member *> files;
        for (const newctest::Member &m : parsed.members)
            if ((m.field[newctest::MODE] & 0170000) == newctest::S_REGULAR)
                files.push_back(&m);
        FUZZ_CHECK(files.size() == expected.size());
        for (size_t i = 0; i < files.size(); i++) {
            std::string name(request.prefix);
            name += '/';
            for (char16_t c : expected[i].name)
                name += char(c);
            FUZZ_CHECK(files[i]->name == name);
            FUZZ_CHECK(files[i]->data == std::string(expected[i].contents.begin(), expected[i].contents.end()));
            FUZZ_CHECK(files[i]->field[newctest::MODE] == (newctest::S_REGULAR | request.file_mode));
        }
    });
    return 0;
}
