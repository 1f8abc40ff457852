// Built images are signed afterwards: sbsign must accept them, and a signed stub's
// signature is left out of the copy.
#include "uki-check.h"

#include <gtest/gtest.h>

namespace uki_test {
namespace {

class UkiSigning : public testing::Test {
protected:
    void SetUp() override {
        RunResult r = run_program({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                                   "/CN=korvane test", "-days", "1", "-keyout", dir_.file("key.pem"), "-out",
                                   dir_.file("cert.pem")});
        ASSERT_EQ(r.exit_code, 0) << r.err;
    }

    RunResult sign(const std::string &in, const std::string &out) {
        return run_program(
            {"/usr/bin/sbsign", "--key", dir_.file("key.pem"), "--cert", dir_.file("cert.pem"), "--output", out, in});
    }

    void expect_signed(const std::string &path) {
        RunResult list = run_program({"/usr/bin/sbverify", "--list", path});
        EXPECT_EQ(list.exit_code, 0) << list.err;
        EXPECT_NE(list.out.find("signature 1"), std::string::npos) << list.out;
        EXPECT_NE(list.out.find("CN=korvane test"), std::string::npos) << list.out;
        RunResult verify = run_program({"/usr/bin/sbverify", "--cert", dir_.file("cert.pem"), path});
        EXPECT_EQ(verify.exit_code, 0) << verify.out << verify.err;
    }

    ScratchDir dir_;
};

TEST_F(UkiSigning, SbsignAcceptsTheImage) {
    std::string out = dir_.file("uki.efi");
    build_ok({"--stub", stub_path(), "--linux", dir_.write("k", build_kernel(5000, 1)), "--initrd",
              dir_.write("initrd", std::string(3333, 'i')), "--cmdline", "quiet", "--profile", "ID=a", "--profile",
              "ID=b", "--cmdline", "b"},
             out);
    RunResult r = sign(out, dir_.file("signed.efi"));
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
    expect_signed(dir_.file("signed.efi"));
}

TEST_F(UkiSigning, ASignedStubLosesItsSignature) {
    Bytes plain = build_pe({});
    ASSERT_EQ(sign(dir_.write("plain.efi", plain), dir_.file("stub.efi")).exit_code, 0);
    Bytes signed_stub = read_file(dir_.file("stub.efi"));
    Image stub = read_image(signed_stub);
    ASSERT_NE(stub.security_size, 0u);

    Bytes kernel = build_kernel(1234, 2);
    std::string out = dir_.file("uki.efi");
    RunResult r = run_uki({"build", "--stub", dir_.file("stub.efi"), "--linux", dir_.write("k", kernel), "-o", out});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err,
              "korvane-uki: " + dir_.file("stub.efi") + ": warning: its signature is not copied; sign the output\n");
    Image image = read_image(read_file(out));
    EXPECT_EQ(image.security_offset, 0u);
    EXPECT_EQ(image.security_size, 0u);
    check_layout(stub, image, {{".linux", kernel}}, stub.security_offset);

    RunResult list = run_program({"/usr/bin/sbverify", "--list", out});
    EXPECT_NE((list.out + list.err).find("No signature table present"), std::string::npos) << list.out << list.err;
    ASSERT_EQ(sign(out, dir_.file("signed.efi")).exit_code, 0);
    expect_signed(dir_.file("signed.efi"));
}

} // namespace
} // namespace uki_test
