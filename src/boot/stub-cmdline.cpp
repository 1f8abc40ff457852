#include "stub-cmdline.h"

#include "efi-string.h"
#include "efi/shell-parameters.h"
#include "log.h"
#include "firmware.h"
#include "measure.h"
#include "secure-boot.h"
#include "smbios.h"
#include "vmm.h"

namespace korvane {

namespace {

constexpr const char *SMBIOS_CMDLINE_KEY = "io.korvane.stub.kernel-cmdline-extra";

constexpr bool is_blank_unit(char16_t c) { return c <= 0x20 || c == 0x7f; }

bool is_empty(const PoolPtr<char16_t> &s) { return !s || s[0] == 0; }

// "@" and decimal digits; the end of the digits is returned through *ret_end.
bool parse_profile(const char16_t *s, uint32_t *ret_profile, const char16_t **ret_end) {
    if (s[0] != u'@' || s[1] < u'0' || s[1] > u'9')
        return false;
    uint64_t value = 0;
    const char16_t *p = s + 1;
    for (; *p >= u'0' && *p <= u'9'; p++)
        if (!MUL_ASSIGN_SAFE(&value, uint64_t{10}) || !INC_SAFE(&value, uint64_t(*p - u'0')))
            return false;
    if (value > UINT32_MAX)
        return false;
    *ret_profile = static_cast<uint32_t>(value);
    *ret_end = p;
    return true;
}

PoolPtr<char16_t> join_arguments(char16_t *const *argv, size_t argc) {
    size_t length = 0;
    for (size_t i = 0; i < argc; i++) {
        ASSERT(argv[i]);
        length += str16_nlen(argv[i], CMDLINE_TEXT_MAX + 1) + 1;
        if (length > CMDLINE_TEXT_MAX + 1) {
            log_error(EFI_BAD_BUFFER_SIZE, "Shell arguments are too long for a kernel command line, ignoring.");
            return {};
        }
    }
    PoolPtr<char16_t> line;
    for (size_t i = 0; i < argc; i++)
        line.reset(line ? xformat("%ls %ls", line.get(), argv[i]) : xstr16_dup(argv[i], SIZE_MAX));
    return line;
}

void arguments_from_shell(const EFI_SHELL_PARAMETERS_PROTOCOL *shell, uint32_t *ret_profile,
                          PoolPtr<char16_t> *ret_cmdline) {
    if (shell->Argc <= 1)
        return;
    ASSERT(shell->Argv[1]);
    size_t first = 1;
    if (shell->Argv[1][0] == u'@' && parse_profile_from_argument(shell->Argv[1], ret_profile))
        first = 2;
    *ret_cmdline = join_arguments(shell->Argv + first, shell->Argc - first);
}

void arguments_from_load_options(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, uint32_t *ret_profile,
                                 PoolPtr<char16_t> *ret_cmdline) {
    auto *options = static_cast<const char16_t *>(loaded_image->LoadOptions);
    // Boot managers pass binary data here too; only text is a command line.
    if (loaded_image->LoadOptionsSize <= 1 || !options || options[0] <= 0x1f)
        return;
    size_t units = str16_nlen(options, loaded_image->LoadOptionsSize / sizeof(char16_t));
    if (units > CMDLINE_TEXT_MAX) {
        log_error(EFI_BAD_BUFFER_SIZE, "Load options are too long for a kernel command line, ignoring.");
        return;
    }
    PoolPtr<char16_t> line(xstr16_dup(options, units));
    if (line[0] == u'@')
        (void)parse_profile_from_cmdline(&line, ret_profile);
    tidy_command_line(line.get());
    *ret_cmdline = move(line);
}

PoolPtr<char16_t> embedded_cmdline(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const PeSectionSpan *sections) {
    if (sections[SECTION_CMDLINE].mem_size == 0)
        return {};
    PoolPtr<char16_t> line(pe_section_to_str16(loaded_image, &sections[SECTION_CMDLINE]));
    if (line)
        tidy_command_line(line.get());
    return line;
}

} // namespace

bool parse_profile_from_argument(const char16_t *argument, uint32_t *ret_profile) {
    const char16_t *end = nullptr;
    uint32_t profile = 0;
    if (!parse_profile(argument, &profile, &end) || *end != 0)
        return false;
    *ret_profile = profile;
    return true;
}

bool parse_profile_from_cmdline(PoolPtr<char16_t> *cmdline, uint32_t *ret_profile) {
    const char16_t *end = nullptr;
    uint32_t profile = 0;
    if (!parse_profile(cmdline->get(), &profile, &end) || (*end != 0 && *end != u' '))
        return false;
    cmdline->reset(xstr16_dup(*end == 0 ? end : end + 1, SIZE_MAX));
    *ret_profile = profile;
    return true;
}

void process_arguments(EFI_HANDLE image, const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, uint32_t *ret_profile,
                       PoolPtr<char16_t> *ret_cmdline) {
    ASSERT(loaded_image);
    *ret_profile = 0;
    ret_cmdline->reset();
    EFI_SHELL_PARAMETERS_PROTOCOL *shell = nullptr;
    if (BS->HandleProtocol(image, &EFI_SHELL_PARAMETERS_PROTOCOL_GUID, reinterpret_cast<void **>(&shell)) ==
            EFI_SUCCESS &&
        shell)
        arguments_from_shell(shell, ret_profile, ret_cmdline);
    else
        arguments_from_load_options(loaded_image, ret_profile, ret_cmdline);
}

void tidy_command_line(char16_t *s) {
    ASSERT(s);
    const char16_t *in = s;
    while (*in && is_blank_unit(*in))
        in++;
    char16_t *out = s, *end = s;
    for (; *in; in++) {
        bool blank = is_blank_unit(*in);
        *out++ = blank ? u' ' : *in;
        if (!blank)
            end = out;
    }
    *end = 0;
}

void settle_command_line(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image, const PeSectionSpan *sections,
                         PoolPtr<char16_t> *cmdline, int *parameters_measured) {
    if (!is_empty(*cmdline)) {
        bool has_embedded = sections[SECTION_CMDLINE].mem_size > 0;
        // Under Secure Boot the signed image's own line wins, and a confidential VM takes
        // no line from its host at all.
        bool keep = !secure_boot_active() || (!has_embedded && !running_in_confidential_vm());
        if (keep) {
            bool measured = false;
            (void)tpm_log_load_options(cmdline->get(), &measured);
            merge_measured(parameters_measured, measured);
            return;
        }
    }
    *cmdline = embedded_cmdline(loaded_image, sections);
}

void cmdline_append_extra(PoolPtr<char16_t> *cmdline, PoolPtr<char16_t> extra, int *parameters_measured) {
    if (!extra)
        return;
    tidy_command_line(extra.get());
    if (extra[0] == 0)
        return;
    bool measured = false;
    (void)tpm_log_load_options(extra.get(), &measured);
    merge_measured(parameters_measured, measured);
    if (!is_empty(*cmdline))
        cmdline->reset(xformat("%ls %ls", cmdline->get(), extra.get()));
    else
        *cmdline = move(extra);
}

void cmdline_append_addons(const char16_t *addons_cmdline, PoolPtr<char16_t> *cmdline, int *parameters_measured) {
    if (!addons_cmdline || addons_cmdline[0] == 0)
        return;
    cmdline_append_extra(cmdline, PoolPtr<char16_t>(xstr16_dup(addons_cmdline, SIZE_MAX)), parameters_measured);
}

void cmdline_append_smbios(PoolPtr<char16_t> *cmdline, int *parameters_measured) {
    if (running_in_confidential_vm())
        return;
    const char *value = smbios_find_oem_string(SMBIOS_CMDLINE_KEY);
    if (!value)
        return;
    size_t length = str8_nlen(value, CMDLINE_TEXT_MAX + 1);
    if (length > CMDLINE_TEXT_MAX) {
        log_error(EFI_BAD_BUFFER_SIZE, "SMBIOS kernel command line extra is too long, ignoring.");
        return;
    }
    cmdline_append_extra(cmdline, PoolPtr<char16_t>(xstr8_to_utf16(value, length)), parameters_measured);
}

} // namespace korvane
