#include "uki-cli.h"

#include "tool-error.h"
#include "uki-addon.h"
#include "uki-build.h"

#include <optional>
#include <string_view>
#include <vector>

namespace korvane {

namespace {

constexpr std::string_view HELP = R"(Usage: korvane-uki build --stub STUB.efi --output OUT.efi [SECTIONS...]
       korvane-uki addon [--stub BASE.efi] --output NAME.addon.efi [PAYLOADS...]
       korvane-uki --help

build: a unified kernel image, a copy of the stub's PE image with one section appended
for each option below, in the order given on the command line.

addon: an add-on, extra payloads that the stub takes from a file whose name ends in
".addon.efi" in \loader\addons or in the image's IMAGE.efi.extra.d directory on the
ESP. It is our add-on base image (korvane-addon-x64.efi, found beside korvane-uki
unless --stub names another) with the sections appended; the base refuses to run when
started on its own. An add-on takes only the options marked "a" below, needs at least
one of --cmdline, --dtb, --dtbauto, --initrd and --ucode, and never carries a .linux.
With --uname the stub uses it only with an image of the same kernel release.

Options:
  --stub FILE              the stub's PE32+ x86-64 image (build: required), or
                           the add-on base image (addon: optional)
  -o, --output FILE        the image to write (required); written in full or not at all
  --linux FILE             .linux     the kernel, a PE image
  --initrd FILE         a  .initrd    an initrd; may be repeated, see below
  --ucode FILE          a  .ucode     a microcode initrd
  --cmdline TEXT|@FILE  a  .cmdline   the kernel command line (an add-on's is appended)
  --os-release FILE        .osrel     the os-release description
  --uname TEXT|@FILE    a  .uname     the kernel release
  --splash FILE            .splash    a splash image (BMP)
  --dtb FILE            a  .dtb       a devicetree blob
  --dtbauto FILE        a  .dtbauto   a devicetree blob the stub may choose; may be repeated
  --hwids FILE          a  .hwids     hardware IDs that choose a .dtbauto, see below
  --pcrsig FILE            .pcrsig    a signed PCR policy (JSON)
  --pcrpkey FILE           .pcrpkey   the PCR policy's public key (PEM)
  --sbat FILE           a  .sbat      SBAT revocation metadata (CSV)
  --section NAME:FILE      a section of any name of up to 8 bytes
  --profile TEXT|@FILE     .profile   opens a profile, see below
  -h, --help               show this text

TEXT|@FILE takes the text itself, or with a leading "@" the contents of FILE. Every
option may also be written --option=VALUE. Empty contents are refused: the stub takes
a section of size 0 for a missing one.

Profiles: the sections before the first --profile form the base. Each --profile opens
a profile that holds the sections after it, up to the next --profile; its text says
what it is, e.g. "ID=rescue" and a "TITLE=..." line. A profile boots with its own
sections, and with the base's sections of the kinds it does not carry, so the base,
or else every profile, needs a --linux. A boot loader selects profile N with the
argument "@N"; without one the stub boots profile 0, so the first profile is the
default. This image boots "root=/dev/sda" by default and "rescue" as profile 1, both
with the base's kernel:

  korvane-uki build --stub s.efi --linux vmlinuz --cmdline "root=/dev/sda" \
      --profile "ID=default" --profile "ID=rescue" --cmdline "rescue" -o uki.efi

Without any --profile the image has the base only. The stub reads the first section of
each kind in a group (the stub's own sections count in the base), so a kind may be
given once per group, but for .dtbauto, among which the stub chooses, and --initrd:
the initrds given for one group are put into one .initrd section, in order, each
starting at a multiple of 4 bytes (zero padding), which the kernel unpacks as one.

Devicetree choice: of the .dtbauto blobs of a group the stub takes the first whose root
"compatible" equals that of the firmware's own devicetree; without one, the first whose
compatible is the one the group's .hwids table names for the machine's hardware IDs
(CHIDs, computed from its SMBIOS identity). --hwids FILE describes the devices:

  # comment
  [ACME Board A]                  a device, named in brackets
  compatible = acme,board-a       the compatible it selects (required)
  manufacturer = ACME             SMBIOS identity: system manufacturer,
  family = Boards                 family, product name, SKU number, and
  product-name = Board A          the baseboard's manufacturer and product
  sku = A-1
  baseboard-manufacturer = ACME
  baseboard-product = A

  [ACME Board B]
  compatible = acme,board-b
  chid = 2e0a5e6c-1b2f-5a77-9a4f-0c1d2e3f4a5b   explicit CHIDs, one per line

A device has identity fields or chid lines, not both. From identity fields the CHIDs
of every type whose fields are all given are computed (manufacturer is needed; a field
given empty counts, one left out does not), most specific first. The stub prefers the
most specific match; a CHID of few fields (manufacturer and family, say) matches every
machine that shares them. A CHID that devices with different compatibles share is left
out, with a warning. Spaces around keys and values are ignored.

A signature on the stub is not copied; sign the output (e.g. with sbsign).
)";

enum class ValueKind { file, text_or_file, hwids };

struct SectionOption {
    std::string_view option;
    std::string_view section;
    ValueKind value;
    bool in_addon; // an add-on takes it
};

constexpr SectionOption SECTION_OPTIONS[] = {
    {"--linux", ".linux", ValueKind::file, false},
    {"--initrd", ".initrd", ValueKind::file, true},
    {"--ucode", ".ucode", ValueKind::file, true},
    {"--cmdline", ".cmdline", ValueKind::text_or_file, true},
    {"--os-release", ".osrel", ValueKind::file, false},
    {"--uname", ".uname", ValueKind::text_or_file, true},
    {"--splash", ".splash", ValueKind::file, false},
    {"--dtb", ".dtb", ValueKind::file, true},
    {"--dtbauto", ".dtbauto", ValueKind::file, true},
    {"--hwids", ".hwids", ValueKind::hwids, true},
    {"--pcrsig", ".pcrsig", ValueKind::file, false},
    {"--pcrpkey", ".pcrpkey", ValueKind::file, false},
    {"--sbat", ".sbat", ValueKind::file, true},
    {"--profile", ".profile", ValueKind::text_or_file, false},
};

class UsageError : public ToolError {
public:
    using ToolError::ToolError;
};

const SectionOption *find_section_option(std::string_view option) {
    for (const SectionOption &o : SECTION_OPTIONS)
        if (o.option == option)
            return &o;
    return nullptr;
}

SectionSource option_source(const SectionOption &o, const std::string &value) {
    std::string section(o.section), what(o.option);
    switch (o.value) {
    case ValueKind::file:
        return {section, SourceKind::file, value, what};
    case ValueKind::hwids:
        return {section, SourceKind::hwids_description, value, what};
    case ValueKind::text_or_file:
        break;
    }
    if (value.empty() || value[0] != '@')
        return {section, SourceKind::text, value, what};
    if (value.size() == 1)
        throw UsageError(what, "\"@\" needs a file name after it");
    return {section, SourceKind::file, value.substr(1), what};
}

SectionSource named_section(const std::string &value) {
    std::size_t colon = value.find(':');
    if (colon == std::string::npos || colon + 1 == value.size())
        throw UsageError("--section", "expects NAME:FILE, got \"" + value + "\"");
    return {value.substr(0, colon), SourceKind::file, value.substr(colon + 1), value.substr(0, colon)};
}

// Walks the arguments as (option, value) pairs; "--option=value" is one argument.
class Arguments {
public:
    Arguments(int argc, char **argv, int first) : args_(argv + first, argv + argc) {}

    bool next() {
        if (index_ >= args_.size())
            return false;
        std::string arg = args_[index_++];
        inline_value_.reset();
        std::size_t eq = arg.find('=');
        if (arg.starts_with("--") && eq != std::string::npos) {
            inline_value_ = arg.substr(eq + 1);
            arg.resize(eq);
        }
        option_ = arg;
        return true;
    }

    const std::string &option() const { return option_; }

    std::string value() {
        if (inline_value_)
            return *inline_value_;
        if (index_ >= args_.size())
            throw UsageError(option_, "needs a value");
        return args_[index_++];
    }

private:
    std::vector<std::string> args_;
    std::size_t index_ = 0;
    std::string option_;
    std::optional<std::string> inline_value_;
};

// The options of build (addon false) or addon; nullopt for --help.
std::optional<AddonRequest> parse_command(int argc, char **argv, bool addon) {
    AddonRequest request;
    Arguments args(argc, argv, 2);
    while (args.next()) {
        const std::string &option = args.option();
        const SectionOption *o = find_section_option(option);
        if (option == "-h" || option == "--help")
            return std::nullopt;
        if (option == "--stub")
            request.base = args.value();
        else if (option == "-o" || option == "--output")
            request.output = args.value();
        else if (option == "--section" && !addon)
            request.sections.push_back(named_section(args.value()));
        else if (o && (o->in_addon || !addon))
            request.sections.push_back(option_source(*o, args.value()));
        else if (o || option == "--section")
            throw UsageError(option, "an add-on does not take this (see korvane-uki --help)");
        else if (option.starts_with("-"))
            throw UsageError(option, "unknown option (see korvane-uki --help)");
        else
            throw UsageError(option, "unexpected argument (see korvane-uki --help)");
    }
    std::string command = addon ? "addon" : "build";
    if (request.base.empty() && !addon)
        throw UsageError(command, "--stub is required");
    if (request.output.empty())
        throw UsageError(command, "--output is required");
    return request;
}

int run(int argc, char **argv, std::ostream &out, std::ostream &err) {
    std::string_view command = argc > 1 ? argv[1] : "";
    if (command == "-h" || command == "--help" || command == "help") {
        out << HELP;
        return 0;
    }
    if (command.empty())
        throw UsageError("usage", "korvane-uki build --stub STUB.efi --output OUT.efi ... (see korvane-uki --help)");
    if (command != "build" && command != "addon")
        throw UsageError(std::string(command), "unknown command (see korvane-uki --help)");
    bool addon = command == "addon";
    std::optional<AddonRequest> request = parse_command(argc, argv, addon);
    if (!request) {
        out << HELP;
        return 0;
    }
    if (addon)
        build_addon(*request, err);
    else
        build_uki({request->base, request->output, request->sections}, err);
    return 0;
}

} // namespace

int uki_main(int argc, char **argv, std::ostream &out, std::ostream &err) {
    try {
        return run(argc, argv, out, err);
    } catch (const UsageError &e) {
        err << "korvane-uki: " << e.what() << "\n";
        return 2;
    } catch (const ToolError &e) {
        err << "korvane-uki: " << e.what() << "\n";
        return 1;
    } catch (const std::bad_alloc &) {
        err << "korvane-uki: out of memory\n";
        return 1;
    }
}

} // namespace korvane
