#include "test-keys.h"

#include "tool-runner.h"

#include <gtest/gtest.h>

namespace uki_test {

namespace {

void openssl(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/openssl");
    RunResult r = run_program(args);
    if (r.exit_code != 0)
        ADD_FAILURE() << "openssl " << args.at(1) << ": " << r.err;
}

} // namespace

const TestKeys &test_keys() {
    static ScratchDir dir;
    static const TestKeys keys = [] {
        TestKeys k{dir.file("key.pem"), dir.file("cert.pem"), dir.file("other-key.pem"), dir.file("encrypted.pem"),
                   dir.file("ec-key.pem")};
        openssl({"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", k.key});
        openssl({"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", k.other_key});
        openssl({"pkey", "-in", k.key, "-aes-256-cbc", "-passout", "pass:korvane", "-out", k.encrypted_key});
        openssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", k.ec_key});
        openssl({"req", "-x509", "-key", k.key, "-subj", "/CN=korvane test", "-days", "2", "-out", k.certificate});
        return k;
    }();
    return keys;
}

} // namespace uki_test
