#include "uki-cli.h"

#include "signing-key.h"
#include "tool-error.h"
#include "uki-addon.h"
#include "uki-build.h"
#include "uki-genkey.h"
#include "uki-inspect.h"
#include "uki-measure.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace korvane {

namespace {

constexpr std::string_view HELP = R"HELP(Usage: korvane-uki build [--stub STUB.efi] --output OUT.efi [SECTIONS...] [PCR POLICY...]
                         [SIGNING]
       korvane-uki addon [--stub BASE.efi] --output NAME.addon.efi [PAYLOADS...] [SIGNING]
       korvane-uki measure [--json] [--bank B]... [--phase TEXT]... (IMAGE | [--stub STUB.efi] SECTIONS...)
       korvane-uki inspect [--json] IMAGE
       korvane-uki genkey --pcr-private-key KEY.pem --pcr-public-key PUB.pem [--bits N | --ec]
       korvane-uki genkey --secureboot-private-key KEY.pem --secureboot-certificate CERT.pem
                          [--common-name NAME]
       korvane-uki --help

build: a unified kernel image, a copy of the stub's PE image with one section appended
for each option below, in the order given on the command line. The stub is our
korvane-stub-x64.efi unless --stub names another.

addon: an add-on, extra payloads that the stub takes from a file whose name ends in
".addon.efi" in \loader\addons or in the image's IMAGE.efi.extra.d directory on the
ESP. It is our add-on base image (korvane-addon-x64.efi unless --stub names another)
with the sections appended; the base refuses to run when started on its own. An add-on takes only the options marked "a" below, needs at least
one of --cmdline, --dtb, --dtbauto, --initrd and --ucode, and never carries a .linux.
With --uname the stub uses it only with an image of the same kernel release.

Our stub and add-on base are looked for beside korvane-uki, then in ../lib/korvane/
from its directory (where they are installed).

Options:
  --stub FILE              the stub's PE32+ x86-64 image (build), or the add-on
                           base image (addon)
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
  --sbat FILE           a  .sbat      SBAT lines (CSV) after the stub's own, see below
  --section NAME:FILE      a section of any name of up to 8 bytes
  --profile TEXT|@FILE     .profile   opens a profile, see below
  --secureboot-private-key KEY.pem
                        a  sign the output for UEFI Secure Boot with this RSA key
  --secureboot-certificate CERT.pem
                        a  and this X.509 certificate of it (both PEM)
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

SBAT: shim starts or verifies only images with a .sbat section, whose CSV lines name
each component and its generation (component,generation,vendor,package,version,URL).
The stub and our add-on base image carry their own: the format line "sbat,1,..." and a
"korvane-boot" line. --sbat FILE adds lines, e.g. a distribution's for its build:
  korvane-boot.debian,1,Debian,korvane-boot,0.1.0-1,https://tracker.debian.org/korvane-boot
The output then has one .sbat, among the base's sections: the stub's lines followed by
FILE's (its own "sbat,1,..." line, if any, is left out), and the stub's .sbat section
is renamed .sbatold. FILE must be well-formed: lines of 6 fields, a component name
without blanks, a generation from 1 to 4294967295, no quotes, no empty lines, and no
component the stub's lines or FILE list already.

Signing: with --secureboot-private-key and --secureboot-certificate the output is
signed as it is written (Authenticode, PKCS#7 with SHA-256, the certificate table after
the last section), for firmware whose db holds the certificate or its issuer, or for
shim with it enrolled. The key and certificate are checked before anything is written:
a key that does not match the certificate, or that is not RSA, is refused. An encrypted
key asks for its passphrase when there is a terminal and is refused otherwise. A
signature on the stub is never copied: without these options, sign the output (e.g.
with sbsign). genkey makes a key and certificate.

Signed PCR policies (build): the stub measures every section it uses for a boot into
PCR 11 (its name with a NUL, then its contents; .pcrsig never). With --pcr-private-key
the image carries a policy signed for the PCR 11 value of each of its boots, so that a
secret sealed in a TPM under TPM2_PolicyAuthorize with that key unseals only after a
boot of an image you signed:
  --pcr-private-key KEY.pem  the signing key: RSA of 2048 to 4096 bits, or EC P-256
                             (unencrypted PEM)
  --pcr-public-key PUB.pem   its public half, checked against it (optional)
  --pcr-bank B               a PCR bank to sign for: sha1, sha256, sha384, sha512;
                             may be repeated (default sha256)
  --phases A:B:C             sign also for PCR 11 after the boot phases A, B, C that
                             a later stage extends (each the digest of its text); may
                             be repeated; "" is the value the stub leaves. Without
                             --phases, that value alone is signed.
The image gets a .pcrpkey (the public key, PEM SubjectPublicKeyInfo) and a .pcrsig at
the end of the base, which the stub hands to the kernel as the files
/.extra/tpm2-pcr-public-key.pem and /.extra/tpm2-pcr-signature.json. .pcrsig is JSON:
  {"sha256": [{"pcrs": [11], "pkfp": HEX, "pol": HEX, "sig": BASE64}, ...], ...}
one entry per bank, boot (see measure) and phase path: pkfp is the SHA-256 of the
public key's DER SubjectPublicKeyInfo; pol the digest of a SHA-256 policy session
after TPM2_PolicyPCR on PCR 11 of that bank holding the predicted value; sig the
signature of pol (RSASSA-PKCS1-v1_5 or ECDSA, DER, both with SHA-256) that
TPM2_VerifySignature takes for TPM2_PolicyAuthorize with an empty policyRef. Trailing
spaces may pad the document. Not with --pcrsig or --pcrpkey.

measure: predicts PCR 11 as the stub leaves it, for every boot of the image, from the
IMAGE or from the options build would take to make it (the sections, and --stub
unless the image is to have our stub).
  --bank B       a bank to predict: sha1, sha256, sha384, sha512; may be repeated
                 (default sha256)
  --phase TEXT   an event a later boot stage extends into PCR 11 (the digest of
                 TEXT's UTF-8 bytes); may be repeated, extended in order
  --json         print JSON instead of "BOOT: BANK HEX" lines
The boots of an image: each profile ("profile N", selected with "@N"), and the base
alone ("base": an image without profiles, or one whose base carries its own .linux, which
a boot loader selects with "@4294967295"). The .dtbauto the stub measures depends on the
machine: a group with .dtbauto sections gives one boot per blob it may choose ("with the
.dtbauto of section N (COMPATIBLE)"), and one for a machine that none of them fits ("with
no .dtbauto"); the .pcrsig covers them all. JSON:
  {"phases": [TEXT, ...],
   "boots": [{"profile": N or null (the base alone),
              "dtbauto": null or {"section": N, "compatible": TEXT or null},
              "pcr11": {"sha256": HEX, ...}}, ...]}
"section" is the blob's index in the section table.

inspect: what an image (a unified kernel image or an add-on) holds: its PE facts, each
group's sections in table order with size, file offset and SHA-256, the text of .cmdline,
.osrel, .uname, .profile and .sbat, and the PCR 11 value of each boot in all four banks.
With --json, one document:
  {"path": TEXT, "kind": "uki", "addon" or "pe", "file_size": N,
   "machine": N, "subsystem": N, "image_version": "MAJOR.MINOR", "size_of_image": N,
   "signed": BOOL (has an Authenticode certificate table),
   "groups": [{"profile": null (the base) or N, "id": TEXT or null, "title": TEXT or null
               (profiles only), "sections": [{"index": N, "name": TEXT, "size": N
               (VirtualSize), "file_offset": N, "sha256": HEX, "text": TEXT (text sections
               only, up to the first NUL)}, ...]}, ...],
   "boots": [as measure's, empty unless kind is "uki"]}

genkey: writes fresh keys, never over an existing file (private keys with mode 0600):
  --pcr-private-key K --pcr-public-key P   a key pair for --pcr-private-key: RSA of
                             --bits N (2048 to 4096, default 2048) or, with --ec, P-256
  --secureboot-private-key K --secureboot-certificate C   an RSA 2048 key and a
                             self-signed code-signing certificate for it, valid for 10
                             years, named --common-name NAME (default "korvane-boot
                             Secure Boot signing key")

Environment: SOURCE_DATE_EPOCH, when set, is the output's PE time stamp (seconds since
1970, at most 4294967295) for build and addon; otherwise it keeps the stub's.
)HELP";

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

Bank bank_option(const std::string &option, const std::string &value) {
    std::optional<Bank> bank = parse_bank(value);
    if (!bank)
        throw UsageError(option, "unknown bank \"" + value + "\" (sha1, sha256, sha384 or sha512)");
    return *bank;
}

std::vector<std::string> split_phases(const std::string &value) {
    std::vector<std::string> phases;
    for (std::size_t start = 0; !value.empty();) {
        std::size_t colon = std::min(value.find(':', start), value.size());
        phases.push_back(value.substr(start, colon - start));
        if (phases.back().empty())
            throw UsageError("--phases", "an empty phase in \"" + value + "\"");
        if (colon == value.size())
            break;
        start = colon + 1;
    }
    return phases;
}

// A section option of build, addon (addon true) or measure; false when option is none.
bool section_option(Arguments &args, bool addon, std::vector<SectionSource> &sections) {
    const std::string &option = args.option();
    const SectionOption *o = find_section_option(option);
    if (option == "--section" && !addon)
        sections.push_back(named_section(args.value()));
    else if (o && (o->in_addon || !addon))
        sections.push_back(option_source(*o, args.value()));
    else if (o || option == "--section")
        throw UsageError(option, "an add-on does not take this (see korvane-uki --help)");
    else
        return false;
    return true;
}

[[noreturn]] void unexpected(const std::string &option) {
    if (option.starts_with("-"))
        throw UsageError(option, "unknown option (see korvane-uki --help)");
    throw UsageError(option, "unexpected argument (see korvane-uki --help)");
}

bool is_help(const std::string &option) {
    return option == "-h" || option == "--help";
}

// --pcr-private-key and the options that go with it; false when option is none of them.
bool pcr_option(Arguments &args, std::optional<PcrSigningRequest> &signing) {
    const std::string &option = args.option();
    if (option != "--pcr-private-key" && option != "--pcr-public-key" && option != "--pcr-bank" &&
        option != "--phases")
        return false;
    if (!signing)
        signing.emplace();
    if (option == "--pcr-private-key")
        signing->private_key = args.value();
    else if (option == "--pcr-public-key")
        signing->public_key = args.value();
    else if (option == "--pcr-bank")
        signing->banks.push_back(bank_option(option, args.value()));
    else
        signing->phase_paths.push_back(split_phases(args.value()));
    return true;
}

void finish_pcr_signing(std::optional<PcrSigningRequest> &signing) {
    if (!signing)
        return;
    if (signing->private_key.empty())
        throw UsageError("build", "--pcr-public-key, --pcr-bank and --phases need --pcr-private-key");
    if (signing->banks.empty())
        signing->banks = {Bank::sha256};
    if (signing->phase_paths.empty())
        signing->phase_paths = {{}};
}

// Hands each option of the command to take, which returns false for one it does not know;
// false for --help.
bool walk_options(int argc, char **argv, const std::function<bool(Arguments &, const std::string &)> &take) {
    Arguments args(argc, argv, 2);
    while (args.next()) {
        const std::string &option = args.option();
        if (is_help(option))
            return false;
        if (!take(args, option))
            unexpected(option);
    }
    return true;
}

struct BuildCommand {
    BuildRequest request;
    std::string secureboot_key, secureboot_certificate;
};

// The options of build (addon false) or addon; nullopt for --help.
std::optional<BuildCommand> parse_command(int argc, char **argv, bool addon) {
    BuildCommand command;
    BuildRequest &request = command.request;
    bool done = walk_options(argc, argv, [&](Arguments &args, const std::string &option) {
        if (option == "--stub")
            request.stub = args.value();
        else if (option == "-o" || option == "--output")
            request.output = args.value();
        else if (option == "--secureboot-private-key")
            command.secureboot_key = args.value();
        else if (option == "--secureboot-certificate")
            command.secureboot_certificate = args.value();
        else
            return section_option(args, addon, request.sections) || (!addon && pcr_option(args, request.pcr_signing));
        return true;
    });
    if (!done)
        return std::nullopt;
    std::string verb = addon ? "addon" : "build";
    if (request.output.empty())
        throw UsageError(verb, "--output is required");
    if (command.secureboot_key.empty() != command.secureboot_certificate.empty())
        throw UsageError(verb, "--secureboot-private-key and --secureboot-certificate go together");
    finish_pcr_signing(request.pcr_signing);
    return command;
}

std::optional<MeasureRequest> parse_measure(int argc, char **argv) {
    MeasureRequest request;
    bool done = walk_options(argc, argv, [&](Arguments &args, const std::string &option) {
        if (option == "--json")
            request.json = true;
        else if (option == "--bank")
            request.banks.push_back(bank_option(option, args.value()));
        else if (option == "--phase")
            request.phases.push_back(args.value());
        else if (option == "--stub")
            request.stub = args.value();
        else if (!option.starts_with("-") && request.image.empty())
            request.image = option;
        else
            return section_option(args, false, request.sections);
        return true;
    });
    if (!done)
        return std::nullopt;
    if (!request.image.empty() && (!request.stub.empty() || !request.sections.empty()))
        throw UsageError("measure", "give either an image or the sections of one, not both");
    if (request.image.empty() && request.stub.empty() && request.sections.empty())
        throw UsageError("measure", "give an image or the sections of one");
    if (request.banks.empty())
        request.banks = {Bank::sha256};
    return request;
}

std::optional<std::pair<std::string, bool>> parse_inspect(int argc, char **argv) {
    std::string image;
    bool json = false;
    bool done = walk_options(argc, argv, [&](Arguments &, const std::string &option) {
        if (option == "--json")
            json = true;
        else if (!option.starts_with("-") && image.empty())
            image = option;
        else
            return false;
        return true;
    });
    if (!done)
        return std::nullopt;
    if (image.empty())
        throw UsageError("inspect", "which image? (see korvane-uki --help)");
    return std::make_pair(image, json);
}

unsigned parse_bits(const std::string &value) {
    if (value.empty() || value.size() > 5 || value.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(value) < 2048 || std::stoul(value) > 4096)
        throw UsageError("--bits", "expects 2048 to 4096, got \"" + value + "\"");
    return static_cast<unsigned>(std::stoul(value));
}

std::optional<GenkeyRequest> parse_genkey(int argc, char **argv) {
    GenkeyRequest request;
    bool bits = false, common_name = false;
    bool done = walk_options(argc, argv, [&](Arguments &args, const std::string &option) {
        if (option == "--pcr-private-key")
            request.pcr_private_key = args.value();
        else if (option == "--pcr-public-key")
            request.pcr_public_key = args.value();
        else if (option == "--bits")
            request.rsa_bits = parse_bits(args.value()), bits = true;
        else if (option == "--ec")
            request.ec = true;
        else if (option == "--secureboot-private-key")
            request.secureboot_private_key = args.value();
        else if (option == "--secureboot-certificate")
            request.secureboot_certificate = args.value();
        else if (option == "--common-name")
            request.common_name = args.value(), common_name = true;
        else
            return false;
        return true;
    });
    if (!done)
        return std::nullopt;
    bool pcr = !request.pcr_private_key.empty() || !request.pcr_public_key.empty();
    bool secureboot = !request.secureboot_private_key.empty() || !request.secureboot_certificate.empty();
    if (pcr && (request.pcr_private_key.empty() || request.pcr_public_key.empty()))
        throw UsageError("genkey", "--pcr-private-key and --pcr-public-key go together");
    if (secureboot && (request.secureboot_private_key.empty() || request.secureboot_certificate.empty()))
        throw UsageError("genkey", "--secureboot-private-key and --secureboot-certificate go together");
    if (!pcr && !secureboot)
        throw UsageError("genkey", "nothing to generate (see korvane-uki --help)");
    if (bits && request.ec)
        throw UsageError("genkey", "--bits is for RSA keys, not with --ec");
    if ((bits || request.ec) && !pcr)
        throw UsageError("genkey", "--bits and --ec are for the PCR key");
    if (common_name && !secureboot)
        throw UsageError("genkey", "--common-name is for the Secure Boot certificate");
    return request;
}

// SOURCE_DATE_EPOCH as a PE time stamp; nullopt when unset or empty.
std::optional<std::uint32_t> source_date_epoch() {
    const char *value = std::getenv("SOURCE_DATE_EPOCH");
    if (!value || !*value)
        return std::nullopt;
    std::string_view text(value);
    std::uint32_t seconds = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error == std::errc::result_out_of_range)
        throw ToolError("SOURCE_DATE_EPOCH", std::string(text) + " is beyond a PE time stamp (at most 4294967295)");
    if (error != std::errc() || end != text.data() + text.size())
        throw ToolError("SOURCE_DATE_EPOCH", "\"" + std::string(text) + "\" is no whole number of seconds");
    return seconds;
}

int run_command(std::string_view command, int argc, char **argv, std::ostream &out, std::ostream &err) {
    if (command == "build" || command == "addon") {
        bool addon = command == "addon";
        std::optional<BuildCommand> parsed = parse_command(argc, argv, addon);
        if (!parsed)
            return -1;
        BuildRequest &request = parsed->request;
        std::optional<SigningKey> key;
        if (!parsed->secureboot_key.empty())
            key.emplace(parsed->secureboot_key, parsed->secureboot_certificate);
        request.signing_key = key ? &*key : nullptr;
        request.time_stamp = source_date_epoch();
        if (addon)
            build_addon({request.stub, request.output, request.sections, request.signing_key, request.time_stamp},
                        err);
        else
            build_uki(request, err);
    } else if (command == "measure") {
        std::optional<MeasureRequest> request = parse_measure(argc, argv);
        if (!request)
            return -1;
        run_measure(*request, out, err);
    } else if (command == "inspect") {
        auto request = parse_inspect(argc, argv);
        if (!request)
            return -1;
        run_inspect(request->first, request->second, out);
    } else if (command == "genkey") {
        std::optional<GenkeyRequest> request = parse_genkey(argc, argv);
        if (!request)
            return -1;
        generate_keys(*request);
    } else {
        throw UsageError(std::string(command), "unknown command (see korvane-uki --help)");
    }
    return 0;
}

int run(int argc, char **argv, std::ostream &out, std::ostream &err) {
    std::string_view command = argc > 1 ? argv[1] : "";
    if (command == "-h" || command == "--help" || command == "help") {
        out << HELP;
        return 0;
    }
    if (command.empty())
        throw UsageError("usage", "korvane-uki build [--stub STUB.efi] --output OUT.efi ... (see korvane-uki --help)");
    if (run_command(command, argc, argv, out, err) < 0)
        out << HELP;
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
