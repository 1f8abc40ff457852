// Bad input: one "korvane-uki: <what>: <why>" line, a non-zero exit, and no output (an
// existing output file stays as it was, and no temporary file is left behind).
#include "test-keys.h"
#include "uki-check.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>

namespace uki_test {
namespace {

struct ErrorCase {
    std::string label;
    std::vector<std::string> args; // "%name" stands for the scratch file name
    int exit_code;
    std::string message; // after "korvane-uki: ", with % expanded the same way
    std::string output = "%uki.efi";
};

Bytes stub_with(void (*change)(Bytes &, const Image &), StubSpec spec = {}) {
    Bytes b = build_pe(spec);
    Image image = read_image(b);
    change(b, image);
    return b;
}

void make_files(const ScratchDir &dir) {
    dir.write("stub.efi", build_pe({}));
    dir.write("k", build_kernel(100, 1));
    dir.write("initrd", "initrd");
    dir.write("empty", "");
    dir.write("notpe.efi", "#!/bin/sh\necho this is no PE image\n" + std::string(100, 'x'));
    dir.write("nosig.efi", stub_with([](Bytes &b, const Image &im) { b[im.pe] = 'N'; }));
    dir.write("cut.efi",
              stub_with([](Bytes &b, const Image &) { put32(b, 0x3C, static_cast<std::uint32_t>(b.size())); }));
    dir.write("pe32.efi", stub_with([](Bytes &b, const Image &im) { put16(b, im.optional, 0x10B); }));
    dir.write("i386.efi", stub_with([](Bytes &b, const Image &im) { put16(b, im.pe + 4, 0x14C); }));
    dir.write("nosections.efi", stub_with([](Bytes &b, const Image &im) { put16(b, im.pe + 6, 0); }));
    dir.write("beyond.efi",
              stub_with([](Bytes &b, const Image &im) { put32(b, im.sections[1].header_offset + 16, 0x10000); }));
    dir.write("padding.efi", stub_with([](Bytes &b, const Image &im) { b[im.table + 40 * 2 + 5] = 1; }));
    dir.write("certmid.efi", stub_with([](Bytes &b, const Image &im) {
                  put32(b, im.optional + 112 + 32, im.sections[0].raw_pointer);
                  put32(b, im.optional + 112 + 36, 8);
              }));
    dir.write("overlay.efi", build_pe(StubSpec{.trailer = {0, 'x', 0}}));
    dir.write("symbols.efi", build_pe(StubSpec{.symbol_table = true}));
    StubSpec tight;
    tight.file_alignment = tight.section_alignment = 0x200;
    tight.header_slots = 2; // one more header fits below the first section, not two
    dir.write("tight.efi", build_pe(tight));
    Bytes i386_kernel = build_kernel(100, 2);
    put16(i386_kernel, read_image(i386_kernel).pe + 4, 0x14C);
    dir.write("k-i386", i386_kernel);
    const TestKeys &keys = test_keys();
    for (const auto &[name, path] : {std::pair{"key.pem", keys.key},
                                     {"cert.pem", keys.certificate},
                                     {"other-key.pem", keys.other_key},
                                     {"encrypted.pem", keys.encrypted_key},
                                     {"ec-key.pem", keys.ec_key}})
        dir.write(name, read_file(path));
    dir.write("nocertentry.efi", stub_with([](Bytes &b, const Image &im) { put32(b, im.optional + 108, 4); }));
    StubSpec gap;
    gap.trailer = Bytes(100, 0x77); // not in a section: refused before any signing
    dir.write("gap.efi", build_pe(gap));
    StubSpec with_sbat;
    with_sbat.sections.emplace_back(".sbat", text("sbat,1,SBAT Version,sbat,1,x\nkorvane-boot,1,v,p,1,u\n"));
    dir.write("sbatstub.efi", build_pe(with_sbat));
    for (const auto &[name, lines] : std::vector<std::pair<std::string, std::string>>{
             {"empty-line.csv", "a,1,v,p,1,u\n\nb,1,v,p,1,u\n"},
             {"quote.csv", "a,1,\"Vendor\",p,1,u\n"},
             {"two-fields.csv", "a,1,v,p,1,u\nb,1\n"},
             {"seven-fields.csv", "a,1,v,p,1.0,https://x,more\n"},
             {"blank-name.csv", "a b,1,v,p,1,u\n"},
             {"generation-0.csv", "a,0,v,p,1,u\n"},
             {"tab.csv", "a,1,v\tx,p,1,u\n"},
             {"twice.csv", "a,1,v,p,1,u\na,2,v,p,2,u\n"},
             {"own.csv", "korvane-boot,2,v,p,2,u\n"},
             {"format-2.csv", "sbat,2,SBAT Version,sbat,2,x\n"},
             {"ok.csv", "a,1,v,p,1,u\n"}})
        dir.write(name, lines);
    mkdir(dir.file("subdir").c_str(), 0755);
    mkfifo(dir.file("fifo").c_str(), 0644);
}

std::string expand(const std::string &s, const ScratchDir &dir) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); i++) {
        if (s[i] != '%') {
            out.push_back(s[i]);
            continue;
        }
        std::size_t end = s.find_first_of(" :", i);
        end = end == std::string::npos ? s.size() : end;
        out += dir.file(s.substr(i + 1, end - i - 1));
        i = end - 1;
    }
    return out;
}

std::vector<std::string> many_sections(std::size_t n) {
    std::vector<std::string> args{"--stub", "%stub.efi", "--linux", "%k"};
    for (std::size_t i = 0; i < n; i++)
        args.insert(args.end(), {"--section", ".m" + std::to_string(i) + ":%initrd"});
    return args;
}

std::vector<std::string> signed_with(const std::string &key, const std::string &certificate) {
    return {"--stub",   "%stub.efi", "--linux", "%k", "--secureboot-private-key", key, "--secureboot-certificate",
            certificate};
}

std::string hex(std::size_t v) {
    char buf[24];
    snprintf(buf, sizeof buf, "0x%zx", v);
    return buf;
}

std::vector<std::string> sbat_args(const std::string &sbat, const std::string &stub = "%stub.efi") {
    return {"--stub", stub, "--linux", "%k", "--sbat", sbat};
}

const std::vector<ErrorCase> &error_cases() {
    static const std::vector<ErrorCase> cases = {
        {"MissingStub",
         {"--stub", "%none.efi", "--linux", "%k"},
         1,
         "%none.efi: cannot open: No such file or directory"},
        {"MissingKernel",
         {"--stub", "%stub.efi", "--linux", "%none"},
         1,
         "%none: cannot open: No such file or directory"},
        {"MissingInitrd",
         {"--stub", "%stub.efi", "--linux", "%k", "--initrd", "%none"},
         1,
         "%none: cannot open: No such file or directory"},
        {"MissingTextFile",
         {"--stub", "%stub.efi", "--linux", "%k", "--cmdline", "@%none"},
         1,
         "%none: cannot open: No such file or directory"},
        {"DirectoryAsInput",
         {"--stub", "%stub.efi", "--linux", "%k", "--initrd", "%subdir"},
         1,
         "%subdir: not a regular file"},
        {"FifoAsInput", {"--stub", "%stub.efi", "--linux", "%fifo"}, 1, "%fifo: not a regular file"},
        {"StubNotPe", {"--stub", "%notpe.efi", "--linux", "%k"}, 1, "%notpe.efi: not a PE image: no MZ signature"},
        {"StubWithoutPeSignature",
         {"--stub", "%nosig.efi", "--linux", "%k"},
         1,
         "%nosig.efi: not a PE image: no PE signature"},
        {"StubCutShort",
         {"--stub", "%cut.efi", "--linux", "%k"},
         1,
         "%cut.efi: not a PE image: its headers are cut short"},
        {"StubPe32",
         {"--stub", "%pe32.efi", "--linux", "%k"},
         1,
         "%pe32.efi: not a PE32+ image (optional header magic 0x10b)"},
        {"StubI386", {"--stub", "%i386.efi", "--linux", "%k"}, 1, "%i386.efi: not an x86-64 image (machine 0x14c)"},
        {"StubWithoutSections",
         {"--stub", "%nosections.efi", "--linux", "%k"},
         1,
         "%nosections.efi: the image has no sections"},
        {"StubSectionBeyondFile",
         {"--stub", "%beyond.efi", "--linux", "%k"},
         1,
         "%beyond.efi: section 1 (.data) extends beyond the end of the file"},
        {"StubDataAfterSectionTable",
         {"--stub", "%padding.efi", "--linux", "%k"},
         1,
         "%uki.efi: the stub keeps data after its section table (at offset 0x1dd)"},
        {"StubCertificateNotAtEnd",
         {"--stub", "%certmid.efi", "--linux", "%k"},
         1,
         "%certmid.efi: its certificate table is not at the end of the file; cannot remove the signature"},
        // Unprotected once signed: the output would carry them where no section header covers them.
        {"StubWithOverlay",
         {"--stub", "%overlay.efi", "--linux", "%k"},
         1,
         "%overlay.efi: bytes " + hex(build_pe({}).size()) + "-" + hex(build_pe({}).size() + 2) +
             " follow its last section, where no section header covers them; strip them from the stub"},
        {"StubWithSymbolTable",
         {"--stub", "%symbols.efi", "--linux", "%k"},
         1,
         "%symbols.efi: bytes " + hex(build_pe({}).size()) + "-" + hex(build_pe({}).size() + 20) +
             " follow its last section, where no section header covers them; strip them from the stub"},
        {"NoRoomForHeaders",
         {"--stub", "%tight.efi", "--linux", "%k", "--cmdline", "x"},
         1,
         "%uki.efi: no room for 2 more section headers below the stub's first section (RVA 0x200)"},
        {"TooManySections", many_sections(94), 1, "%uki.efi: 97 sections, but an image holds at most 96"},
        {"SectionNameTooLong",
         {"--stub", "%stub.efi", "--linux", "%k", "--section", ".ninechar:%initrd"},
         1,
         ".ninechar: section name longer than 8 bytes"},
        {"NoKernel",
         {"--stub", "%stub.efi", "--cmdline", "quiet", "--profile", "ID=a", "--cmdline", "x"},
         1,
         "%uki.efi: no .linux section in the base or in any profile"},
        {"ProfileWithoutKernel",
         {"--stub", "%stub.efi", "--profile", "ID=a", "--linux", "%k", "--profile", "ID=b", "--cmdline", "x"},
         1,
         "%uki.efi: profile 1 has no .linux section, and the base has none"},
        {"KernelNotPe",
         {"--stub", "%stub.efi", "--linux", "%initrd"},
         1,
         "%initrd: not a kernel the stub can start: too short for a PE image"},
        {"KernelI386",
         {"--stub", "%stub.efi", "--linux", "%k-i386"},
         1,
         "%k-i386: not a kernel the stub can start: not an x86-64 image"},
        {"EmptyFile",
         {"--stub", "%stub.efi", "--linux", "%k", "--initrd", "%empty"},
         1,
         "%empty: empty file: a section of size 0 reads as absent"},
        {"EmptyText",
         {"--stub", "%stub.efi", "--linux", "%k", "--cmdline", ""},
         1,
         "--cmdline: empty text: a section of size 0 reads as absent"},
        {"OutputDirectoryMissing",
         {"--stub", "%stub.efi", "--linux", "%k"},
         1,
         "%nodir/uki.efi: cannot create a temporary file in %nodir: No such file or directory",
         "%nodir/uki.efi"},
        {"UnknownOption",
         {"--stub", "%stub.efi", "--linux", "%k", "--kernel", "%k"},
         2,
         "--kernel: unknown option (see korvane-uki --help)"},
        {"MissingValue", {"--stub", "%stub.efi", "--linux"}, 2, "--linux: needs a value", ""},
        {"SigningKeyOfAnotherCertificate", signed_with("%other-key.pem", "%cert.pem"), 1,
         "%other-key.pem: does not match the certificate %cert.pem"},
        {"SigningKeyMissing", signed_with("%none.pem", "%cert.pem"), 1,
         "%none.pem: cannot open: No such file or directory"},
        {"SigningKeyNotPem", signed_with("%initrd", "%cert.pem"), 1, "%initrd: not a PEM private key"},
        {"SigningKeyEncrypted", signed_with("%encrypted.pem", "%cert.pem"), 1,
         "%encrypted.pem: the key is encrypted, and there is no terminal to ask for its passphrase"},
        {"SigningKeyNotRsa", signed_with("%ec-key.pem", "%cert.pem"), 1,
         "%ec-key.pem: not an RSA key (Secure Boot signatures are RSA)"},
        {"CertificateNotPem", signed_with("%key.pem", "%initrd"), 1, "%initrd: not a PEM X.509 certificate"},
        {"SigningAStubWithDataOutsideSections",
         {"--stub", "%gap.efi", "--linux", "%k", "--secureboot-private-key", "%key.pem", "--secureboot-certificate",
          "%cert.pem"},
         1,
         "%gap.efi: bytes " + hex(build_pe({}).size()) + "-" + hex(build_pe({}).size() + 99) +
             " follow its last section, where no section header covers them; strip them from the stub"},
        {"SigningAStubWithoutCertificateTableEntry",
         {"--stub", "%nocertentry.efi", "--linux", "%k", "--secureboot-private-key", "%key.pem",
          "--secureboot-certificate", "%cert.pem"},
         1,
         "%uki.efi: cannot be signed: its optional header has no certificate table entry"},
        {"SigningKeyWithoutCertificate",
         {"--stub", "%stub.efi", "--linux", "%k", "--secureboot-private-key", "%key.pem"},
         2,
         "build: --secureboot-private-key and --secureboot-certificate go together"},
        {"MissingOutputOption", {"--stub", "%stub.efi", "--linux", "%k"}, 2, "build: --output is required", ""},
        {"SectionWithoutFile",
         {"--stub", "%stub.efi", "--linux", "%k", "--section", ".x"},
         2,
         "--section: expects NAME:FILE, got \".x\""},
        {"SbatEmptyLine", sbat_args("%empty-line.csv"), 1, "%empty-line.csv: line 2: empty line"},
        {"SbatQuote", sbat_args("%quote.csv"), 1, "%quote.csv: line 1: a quote: SBAT fields are never quoted"},
        {"SbatTwoFields",
         sbat_args("%two-fields.csv"),
         1,
         "%two-fields.csv: line 2: 2 fields instead of 6: component, generation, vendor, package, version, URL"},
        {"SbatSevenFields",
         sbat_args("%seven-fields.csv"),
         1,
         "%seven-fields.csv: line 1: 7 fields instead of 6: component, generation, vendor, package, version, URL"},
        {"SbatBlankInName",
         sbat_args("%blank-name.csv"),
         1,
         "%blank-name.csv: line 1: the component name \"a b\" is empty or has a blank"},
        {"SbatGenerationZero",
         sbat_args("%generation-0.csv"),
         1,
         "%generation-0.csv: line 1: the generation \"0\" is no whole number from 1 to 4294967295"},
        {"SbatControlCharacter", sbat_args("%tab.csv"), 1, "%tab.csv: line 1: control character"},
        {"SbatComponentTwice", sbat_args("%twice.csv"), 1, "%twice.csv: line 2: a second \"a\" line"},
        {"SbatComponentOfTheStub",
         sbat_args("%own.csv", "%sbatstub.efi"),
         1,
         "%own.csv: line 1: \"korvane-boot\" is listed in the base image's own lines already"},
        {"SbatOtherFormat",
         sbat_args("%format-2.csv", "%sbatstub.efi"),
         1,
         "%format-2.csv: line 1: SBAT format 2, but the base image's lines are of format 1"},
        {"SbatInProfile",
         {"--stub", "%stub.efi", "--linux", "%k", "--profile", "ID=a", "--sbat", "%ok.csv"},
         1,
         "%uki.efi: a .sbat section in profile 0: SBAT describes the whole image, give it before the first --profile"},
        {"AtWithoutFile",
         {"--stub", "%stub.efi", "--linux", "%k", "--uname", "@"},
         2,
         "--uname: \"@\" needs a file name after it"},
    };
    return cases;
}

class UkiErrors : public testing::TestWithParam<ErrorCase> {};

void expect_failure(const ErrorCase &c, const ScratchDir &dir, const RunResult &r) {
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    EXPECT_EQ(r.err, "korvane-uki: " + expand(c.message, dir) + "\n");
    EXPECT_EQ(r.out, "");
}

TEST_P(UkiErrors, FailsWithOneLineAndWritesNothing) {
    const ErrorCase &c = GetParam();
    ScratchDir dir;
    make_files(dir);
    std::vector<std::string> args{"build"};
    for (const std::string &a : c.args)
        args.push_back(expand(a, dir));
    if (!c.output.empty())
        args.insert(args.end(), {"-o", expand(c.output, dir)});
    std::vector<std::string> before = dir.entries();

    expect_failure(c, dir, run_uki(args));
    EXPECT_EQ(dir.entries(), before);

    // An output that already exists is left as it was.
    if (c.output == "%uki.efi") {
        dir.write("uki.efi", "previous image");
        expect_failure(c, dir, run_uki(args));
        EXPECT_EQ(read_file(dir.file("uki.efi")), text("previous image"));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, UkiErrors, testing::ValuesIn(error_cases()),
                         [](const testing::TestParamInfo<ErrorCase> &info) { return info.param.label; });

TEST(UkiCommandLine, CommandsAndHelp) {
    RunResult none = run_uki({});
    EXPECT_EQ(none.exit_code, 2);
    EXPECT_EQ(
        none.err,
        "korvane-uki: usage: korvane-uki build [--stub STUB.efi] --output OUT.efi ... (see korvane-uki --help)\n");
    RunResult unknown = run_uki({"frobnicate", "--stub", "x"});
    EXPECT_EQ(unknown.exit_code, 2);
    EXPECT_EQ(unknown.err, "korvane-uki: frobnicate: unknown command (see korvane-uki --help)\n");
    for (const auto &args :
         {std::vector<std::string>{"--help"}, std::vector<std::string>{"build", "--stub", "x", "-h"}}) {
        RunResult help = run_uki(args);
        EXPECT_EQ(help.exit_code, 0);
        EXPECT_EQ(help.out.rfind("Usage: korvane-uki build [--stub STUB.efi] --output OUT.efi", 0), 0u) << help.out;
        EXPECT_EQ(help.err, "");
    }
}

// Unsigned, the data goes through one buffer; signed, through buffers shared with the thread
// that digests it, which must end cleanly when a write fails.
TEST(UkiWriteFailures, AFailedWriteLeavesNoOutput) {
    for (bool signed_image : {false, true}) {
        SCOPED_TRACE(signed_image ? "signed" : "unsigned");
        ScratchDir dir;
        make_files(dir);
        dir.write("big", Bytes(3 << 20, 0xAB));
        dir.write("uki.efi", "previous image");
        std::vector<std::string> before = dir.entries();
        std::vector<std::string> args{"build", "--stub", dir.file("stub.efi"), "--linux",       dir.file("k"),
                                      "--initrd", dir.file("big"), "-o",       dir.file("uki.efi")};
        if (signed_image)
            args.insert(args.end(), {"--secureboot-private-key", test_keys().key, "--secureboot-certificate",
                                     test_keys().certificate});

        // Past the file size limit a write fails ...
        RunResult r = run_uki(args, {.max_file_size = 2 << 20, .ignore_sigxfsz = true});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err.rfind("korvane-uki: " + dir.file("uki.efi") + ": ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
        EXPECT_EQ(dir.entries(), before);
        EXPECT_EQ(read_file(dir.file("uki.efi")), text("previous image"));

        // ... or its signal ends the program: the temporary file goes either way.
        r = run_uki(args, {.max_file_size = 2 << 20});
        EXPECT_EQ(r.signal, SIGXFSZ);
        EXPECT_EQ(dir.entries(), before);
        EXPECT_EQ(read_file(dir.file("uki.efi")), text("previous image"));
    }
}

} // namespace
} // namespace uki_test
