// A Secure Boot signing key and its X.509 certificate, read from PEM files and checked
// against each other before anything is written. An encrypted key asks for its passphrase
// on the terminal; without one it is refused.
#pragma once

#include <memory>
#include <string>

typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;

namespace korvane {

class SigningKey {
public:
    // Throws ToolError naming the file that cannot be used, and why.
    SigningKey(const std::string &key_path, const std::string &certificate_path);
    ~SigningKey();
    SigningKey(SigningKey &&) noexcept;
    SigningKey &operator=(SigningKey &&) noexcept;

    EVP_PKEY *key() const { return key_.get(); }
    X509 *certificate() const { return certificate_.get(); }

private:
    struct FreeKey {
        void operator()(EVP_PKEY *) const;
    };
    struct FreeCertificate {
        void operator()(X509 *) const;
    };
    std::unique_ptr<EVP_PKEY, FreeKey> key_;
    std::unique_ptr<X509, FreeCertificate> certificate_;
};

} // namespace korvane
