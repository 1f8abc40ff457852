// Signing keys for the tests, made once per test program with the openssl command.
#pragma once

#include <string>

namespace uki_test {

struct TestKeys {
    std::string key, certificate; // RSA 2048, self-signed, CN "korvane test"
    std::string other_key;        // another RSA key
    std::string encrypted_key;    // the first key, encrypted with a passphrase
    std::string ec_key;           // P-256
};

const TestKeys &test_keys();

} // namespace uki_test
