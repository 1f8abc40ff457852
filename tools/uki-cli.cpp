#include "uki-cli.h"

#include "tool-error.h"
#include "uki-build.h"

#include <optional>
#include <string_view>
#include <vector>

namespace korvane {

namespace {

constexpr std::string_view HELP = R"(Usage: korvane-uki build --stub STUB.efi --output OUT.efi [SECTIONS...]
       korvane-uki --help

Builds a unified kernel image: a copy of the stub's PE image with one section appended
for each option below, in the order given on the command line.

Options:
  --stub FILE            the stub's PE32+ x86-64 image (required)
  -o, --output FILE      the image to write (required); written in full or not at all
  --linux FILE           .linux     the kernel, a PE image
  --initrd FILE          .initrd    an initrd; may be repeated, see below
  --ucode FILE           .ucode     a microcode initrd
  --cmdline TEXT|@FILE   .cmdline   the kernel command line
  --os-release FILE      .osrel     the os-release description
  --uname TEXT|@FILE     .uname     the kernel release
  --splash FILE          .splash    a splash image (BMP)
  --dtb FILE             .dtb       a devicetree blob
  --pcrsig FILE          .pcrsig    a signed PCR policy (JSON)
  --pcrpkey FILE         .pcrpkey   the PCR policy's public key (PEM)
  --section NAME:FILE    a section of any name of up to 8 bytes
  --profile TEXT|@FILE   .profile   opens a profile, see below
  -h, --help             show this text

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

A signature on the stub is not copied; sign the output (e.g. with sbsign).
)";

struct SectionOption {
    std::string_view option;
    std::string_view section;
    bool takes_text; // TEXT|@FILE rather than FILE
};

constexpr SectionOption SECTION_OPTIONS[] = {
    {"--linux", ".linux", false},     {"--initrd", ".initrd", false},    {"--ucode", ".ucode", false},
    {"--cmdline", ".cmdline", true},  {"--os-release", ".osrel", false}, {"--uname", ".uname", true},
    {"--splash", ".splash", false},   {"--dtb", ".dtb", false},          {"--pcrsig", ".pcrsig", false},
    {"--pcrpkey", ".pcrpkey", false}, {"--profile", ".profile", true},
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

SectionSource text_or_file(const SectionOption &o, const std::string &value) {
    std::string what(o.option);
    if (value.empty() || value[0] != '@')
        return {std::string(o.section), false, value, what};
    if (value.size() == 1)
        throw UsageError(what, "\"@\" needs a file name after it");
    return {std::string(o.section), true, value.substr(1), what};
}

SectionSource named_section(const std::string &value) {
    std::size_t colon = value.find(':');
    if (colon == std::string::npos || colon + 1 == value.size())
        throw UsageError("--section", "expects NAME:FILE, got \"" + value + "\"");
    return {value.substr(0, colon), true, value.substr(colon + 1), value.substr(0, colon)};
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

std::optional<BuildRequest> parse_build(int argc, char **argv) {
    BuildRequest request;
    Arguments args(argc, argv, 2);
    while (args.next()) {
        const std::string &option = args.option();
        if (option == "-h" || option == "--help")
            return std::nullopt;
        if (option == "--stub")
            request.stub = args.value();
        else if (option == "-o" || option == "--output")
            request.output = args.value();
        else if (option == "--section")
            request.sections.push_back(named_section(args.value()));
        else if (const SectionOption *o = find_section_option(option))
            request.sections.push_back(
                o->takes_text ? text_or_file(*o, args.value())
                              : SectionSource{std::string(o->section), true, args.value(), std::string(o->option)});
        else if (option.starts_with("-"))
            throw UsageError(option, "unknown option (see korvane-uki --help)");
        else
            throw UsageError(option, "unexpected argument (see korvane-uki --help)");
    }
    if (request.stub.empty())
        throw UsageError("build", "--stub is required");
    if (request.output.empty())
        throw UsageError("build", "--output is required");
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
    if (command != "build")
        throw UsageError(std::string(command), "unknown command (see korvane-uki --help)");
    std::optional<BuildRequest> request = parse_build(argc, argv);
    if (!request) {
        out << HELP;
        return 0;
    }
    build_uki(*request, err);
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
