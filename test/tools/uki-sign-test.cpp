// Signing: images and add-ons signed by korvane-uki itself are accepted by sbverify and
// osslsigncode, and are the unsigned image with its certificate table after it; images
// built unsigned can still be signed by sbsign, and a signed stub's signature is left out
// of the copy.
#include "test-keys.h"
#include "uki-check.h"

#include <gtest/gtest.h>

#include <functional>

namespace uki_test {
namespace {

constexpr std::uint16_t WIN_CERT_REVISION_2_0 = 0x0200;
constexpr std::uint16_t WIN_CERT_TYPE_PKCS_SIGNED_DATA = 2;

struct SigningPair {
    std::string key, certificate;
};

struct SignedCase {
    std::string label;
    // The command and its arguments but for the output and the signing options.
    std::function<std::vector<std::string>(const ScratchDir &)> command;
    // The key and certificate to sign with; the tests' own when not given.
    std::function<SigningPair(const ScratchDir &)> keys = [](const ScratchDir &) {
        return SigningPair{test_keys().key, test_keys().certificate};
    };
};

RunResult sbsign(const std::string &in, const std::string &out) {
    const TestKeys &k = test_keys();
    return run_program({"/usr/bin/sbsign", "--key", k.key, "--cert", k.certificate, "--output", out, in});
}

std::vector<std::string> uki_with_profiles(const ScratchDir &dir) {
    return {"build",
            "--stub",
            stub_path(),
            "--linux",
            dir.write("k", build_kernel(5000, 1)),
            "--initrd",
            dir.write("initrd", std::string(3333, 'i')),
            "--cmdline",
            "quiet",
            "--profile",
            "ID=a",
            "--profile",
            "ID=b",
            "--cmdline",
            "b"};
}

std::vector<std::string> addon(const ScratchDir &dir) {
    return {"addon",
            "--stub",
            addon_base_path(),
            "--cmdline",
            "console=ttyS0",
            "--initrd",
            dir.write("initrd", std::string(77, 'a'))};
}

// More sections than the real stub's headers have room for: its data moves back.
std::vector<std::string> grown_headers(const ScratchDir &dir) {
    Image stub = read_image(read_file(stub_path()));
    std::size_t room = (stub.sections[0].raw_pointer - stub.table) / 40 - stub.sections.size();
    std::vector<std::string> args{"build", "--stub", stub_path(), "--linux", dir.write("k", build_kernel(300, 2))};
    for (std::size_t i = 0; i < room + 3; i++)
        args.insert(args.end(), {"--section", ".t" + std::to_string(i) + ":" + dir.write("t", "section data")});
    return args;
}

// A stub signed by someone else: its signature goes, ours comes.
std::vector<std::string> signed_stub(const ScratchDir &dir) {
    EXPECT_EQ(sbsign(dir.write("plain.efi", build_pe({})), dir.file("stub.efi")).exit_code, 0);
    return {"build", "--stub", dir.file("stub.efi"), "--linux", dir.write("k", build_kernel(1234, 2))};
}

// A PCR policy too, whose .pcrsig is written after every other section; signed with a
// Secure Boot key that korvane-uki genkey made.
std::vector<std::string> with_pcr_policy(const ScratchDir &dir) {
    std::vector<std::string> args = uki_with_profiles(dir);
    EXPECT_EQ(run_uki({"genkey", "--pcr-private-key", dir.file("pcr.key"), "--pcr-public-key", dir.file("pcr.pub")})
                  .exit_code,
              0);
    args.insert(args.end(), {"--pcr-private-key", dir.file("pcr.key")});
    return args;
}

SigningPair genkey_pair(const ScratchDir &dir) {
    RunResult r = run_uki(
        {"genkey", "--secureboot-private-key", dir.file("sb.key"), "--secureboot-certificate", dir.file("sb.crt")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return {dir.file("sb.key"), dir.file("sb.crt")};
}

const std::vector<SignedCase> &signed_cases() {
    static const std::vector<SignedCase> cases = {
        {"UkiWithProfiles", uki_with_profiles},
        {"Addon", addon},
        {"StubWhoseHeadersGrow", grown_headers},
        {"SignedStub", signed_stub},
        {"PcrPolicyWithAKeyFromGenkey", with_pcr_policy, genkey_pair},
    };
    return cases;
}

// The bytes but for the CheckSum and the certificate table entry.
Bytes without_signature_fields(Bytes b, std::size_t size) {
    Image image = read_image(b);
    b.resize(size);
    put32(b, image.optional + 64, 0);
    put32(b, image.optional + 112 + 4 * 8, 0);
    put32(b, image.optional + 112 + 4 * 8 + 4, 0);
    return b;
}

class UkiSigned : public testing::TestWithParam<SignedCase> {};

TEST_P(UkiSigned, VerifiersAcceptWhatTheToolSigned) {
    ScratchDir dir;
    SigningPair k = GetParam().keys(dir);
    std::vector<std::string> command = GetParam().command(dir);
    std::string plain = dir.file("plain-out.efi"), signed_out = dir.file("signed-out.efi");
    std::vector<std::string> signing = command;
    signing.insert(signing.end(),
                   {"--secureboot-private-key", k.key, "--secureboot-certificate", k.certificate, "-o", signed_out});
    command.insert(command.end(), {"-o", plain});
    ASSERT_EQ(run_uki(command).exit_code, 0);
    RunResult r = run_uki(signing);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");

    Bytes unsigned_image = read_file(plain), signed_image = read_file(signed_out);
    Image image = read_image(signed_image);
    std::uint32_t table = image.security_offset;
    EXPECT_EQ(table, align(unsigned_image.size(), 8));
    ASSERT_EQ(std::uint64_t{table} + image.security_size, signed_image.size());
    EXPECT_EQ(without_signature_fields(signed_image, unsigned_image.size()),
              without_signature_fields(unsigned_image, unsigned_image.size()));
    EXPECT_EQ(align(le32(signed_image, table), 8), image.security_size);
    EXPECT_EQ(le16(signed_image, table + 4), WIN_CERT_REVISION_2_0);
    EXPECT_EQ(le16(signed_image, table + 6), WIN_CERT_TYPE_PKCS_SIGNED_DATA);
    EXPECT_EQ(image.checksum, pe_checksum(signed_image, image.optional + 64));

    RunResult sbverify = run_program({"/usr/bin/sbverify", "--cert", k.certificate, signed_out});
    EXPECT_EQ(sbverify.exit_code, 0) << sbverify.out << sbverify.err;
    RunResult osslsigncode =
        run_program({"/usr/bin/osslsigncode", "verify", "-CAfile", k.certificate, "-in", signed_out});
    EXPECT_EQ(osslsigncode.exit_code, 0) << osslsigncode.out << osslsigncode.err;
    EXPECT_NE(osslsigncode.out.find("Signature verification: ok"), std::string::npos) << osslsigncode.out;
}

INSTANTIATE_TEST_SUITE_P(Cases, UkiSigned, testing::ValuesIn(signed_cases()),
                         [](const testing::TestParamInfo<SignedCase> &info) { return info.param.label; });

void expect_sbsign_accepts(const std::string &path) {
    RunResult list = run_program({"/usr/bin/sbverify", "--list", path});
    EXPECT_EQ(list.exit_code, 0) << list.err;
    EXPECT_NE(list.out.find("signature 1"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("CN=korvane test"), std::string::npos) << list.out;
    RunResult verify = run_program({"/usr/bin/sbverify", "--cert", test_keys().certificate, path});
    EXPECT_EQ(verify.exit_code, 0) << verify.out << verify.err;
}

TEST(UkiSigning, SbsignAcceptsTheImage) {
    ScratchDir dir;
    std::string out = dir.file("uki.efi");
    std::vector<std::string> args = uki_with_profiles(dir);
    build_ok({args.begin() + 1, args.end()}, out);
    RunResult r = sbsign(out, dir.file("signed.efi"));
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
    expect_sbsign_accepts(dir.file("signed.efi"));
}

TEST(UkiSigning, ASignedStubLosesItsSignature) {
    ScratchDir dir;
    std::vector<std::string> args = signed_stub(dir);
    Bytes signed_stub = read_file(dir.file("stub.efi"));
    Image stub = read_image(signed_stub);
    ASSERT_NE(stub.security_size, 0u);

    std::string out = dir.file("uki.efi");
    RunResult r = run_uki({"build", "--stub", dir.file("stub.efi"), "--linux", dir.file("k"), "-o", out});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err,
              "korvane-uki: " + dir.file("stub.efi") + ": warning: its signature is not copied; sign the output\n");
    Image image = read_image(read_file(out));
    EXPECT_EQ(image.security_offset, 0u);
    EXPECT_EQ(image.security_size, 0u);
    check_layout(stub, image, {{".linux", read_file(dir.file("k"))}}, stub.security_offset);

    RunResult list = run_program({"/usr/bin/sbverify", "--list", out});
    EXPECT_NE((list.out + list.err).find("No signature table present"), std::string::npos) << list.out << list.err;
    ASSERT_EQ(sbsign(out, dir.file("signed.efi")).exit_code, 0);
    expect_sbsign_accepts(dir.file("signed.efi"));
}

} // namespace
} // namespace uki_test
