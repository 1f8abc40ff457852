// The caller's arguments (load options or shell arguments) through profile selection and
// tidying, the Secure Boot and confidential-VM rules against the embedded ".cmdline", and an
// add-on's line appended. Checked: a tidied line has no control units and no blanks at its
// ends; under Secure Boot with a ".cmdline" the caller's line has no effect; in a confidential
// VM without one there is no line; otherwise the caller's line is kept; an add-on's text ends
// the line.
#include "support.h"

#include <algorithm>
#include <cstring>

#include "boot/efi/shell-parameters.h"
#include "boot/stub-cmdline.h"
#include "fakefw/fake-cpu.h"

namespace {

enum Flags : uint8_t { SECURE_BOOT = 1, CONFIDENTIAL_VM = 2, SHELL = 4, EMBEDDED = 8 };

void make_confidential(fakefw::FakeCpu &cpu) {
    korvane::CpuidRegs basic = {.eax = 0x1f};
    fakefw::FakeCpu::spell("AuthenticAMD", &basic.ebx, &basic.edx, &basic.ecx);
    cpu.set_cpuid(0, basic);
    cpu.set_cpuid(1, {.ecx = 1u << 31});
    cpu.set_cpuid(0x80000000, {.eax = 0x8000001f});
    cpu.set_cpuid(0x8000001f, {.eax = 2});
    cpu.set_msr(0xc0010131, 1);
}

bool tidy(const char16_t *s) {
    if (!s)
        return true;
    size_t n = std::char_traits<char16_t>::length(s);
    for (size_t i = 0; i < n; i++)
        if (s[i] == 0x7f || s[i] < 0x20)
            return false;
    return n == 0 || (s[0] != u' ' && s[n - 1] != u' ');
}

struct Caller {
    fuzz::Bytes options;
    std::vector<std::u16string> argv;
};

// The command line the stub settles on for this caller, with the add-on text appended.
std::u16string settle(fakefw::Firmware &fw, uint8_t flags, const Caller &caller, const fuzz::Bytes &embedded,
                      const std::u16string &addon, std::u16string *caller_line) {
    fuzz::Exact options(caller.options), image(embedded);
    EFI_LOADED_IMAGE_PROTOCOL loaded = {};
    loaded.LoadOptions = options.data();
    loaded.LoadOptionsSize = uint32_t(caller.options.size());
    loaded.ImageBase = image.data();
    korvane::PeSectionSpan sections[korvane::IMAGE_SECTION_COUNT] = {};
    if (flags & EMBEDDED)
        sections[korvane::SECTION_CMDLINE] = {embedded.size(), 0, embedded.size(), 0};

    std::vector<char16_t *> argv;
    for (const std::u16string &a : caller.argv)
        argv.push_back(const_cast<char16_t *>(a.c_str()));
    EFI_SHELL_PARAMETERS_PROTOCOL shell = {argv.data(), argv.size()};
    EFI_HANDLE handle = fw.handles().create();
    if (flags & SHELL)
        fw.handles().install(handle, EFI_SHELL_PARAMETERS_PROTOCOL_GUID, &shell);

    uint32_t profile = 0;
    korvane::PoolPtr<char16_t> line;
    korvane::process_arguments(handle, &loaded, &profile, &line);
    FUZZ_CHECK((flags & SHELL) || tidy(line.get()));
    *caller_line = line ? std::u16string(line.get()) : u"";
    int measured = -1;
    korvane::settle_command_line(&loaded, sections, &line, &measured);
    korvane::cmdline_append_addons(addon.c_str(), &line, &measured);
    if (flags & SHELL)
        fw.handles().uninstall(handle, EFI_SHELL_PARAMETERS_PROTOCOL_GUID);
    std::u16string result = line ? std::u16string(line.get()) : u"<none>";
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t flags = in.byte();
    fuzz::Bytes embedded = in.part();
    std::u16string addon = fuzz::utf16_of(in.part());
    addon = addon.substr(0, addon.find(u'\0'));
    Caller caller;
    caller.argv.push_back(u"\\EFI\\Linux\\image.efi");
    if (flags & SHELL) {
        while (!in.empty() && caller.argv.size() < 64) {
            std::u16string a = fuzz::utf16_of(in.part());
            caller.argv.push_back(a.substr(0, a.find(u'\0')));
        }
    } else {
        caller.options = in.rest();
    }

    fuzz::with_firmware([&](fakefw::Firmware &fw) {
        fakefw::FakeCpu cpu;
        if (flags & CONFIDENTIAL_VM)
            make_confidential(cpu);
        fw.variables().set_secure_boot(flags & SECURE_BOOT);

        std::u16string caller_line, none;
        std::u16string line = settle(fw, flags, caller, embedded, addon, &caller_line);
        FUZZ_CHECK(line == u"<none>" || (flags & SHELL) || tidy(line.c_str()));
        std::u16string without = settle(fw, flags, Caller{{}, {caller.argv[0]}}, embedded, addon, &none);
        bool had_line = !caller_line.empty();

        bool secure = flags & SECURE_BOOT, has_embedded = (flags & EMBEDDED) && !embedded.empty();
        if (secure && has_embedded)
            FUZZ_CHECK(line == without);
        std::u16string tidied_addon = addon;
        for (char16_t &c : tidied_addon)
            if (c < 0x20 || c == 0x7f)
                c = u' ';
        tidied_addon.erase(0, std::min(tidied_addon.find_first_not_of(u' '), tidied_addon.size()));
        tidied_addon.erase(tidied_addon.find_last_not_of(u' ') + 1);
        if (had_line && secure && !has_embedded && (flags & CONFIDENTIAL_VM))
            FUZZ_CHECK(line == (tidied_addon.empty() ? u"<none>" : tidied_addon));
        if (had_line && !secure)
            FUZZ_CHECK(line.compare(0, caller_line.size(), caller_line) == 0);
        if (!tidied_addon.empty())
            FUZZ_CHECK(line.size() >= tidied_addon.size() &&
                       line.compare(line.size() - tidied_addon.size(), tidied_addon.size(), tidied_addon) == 0);
    });
    return 0;
}
