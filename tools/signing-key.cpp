#include "signing-key.h"

#include "file-io.h"
#include "tool-error.h"

#include <cstring>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <unistd.h>

namespace korvane {

namespace {

// A key or certificate is a few KiB of text.
constexpr std::uint64_t PEM_FILE_MAX = 1 << 20;

std::string read_pem(const std::string &path) {
    InputFile file(path);
    if (file.size() > PEM_FILE_MAX)
        throw ToolError(path, "too large for a PEM file");
    std::string text(file.size(), '\0');
    file.read_at(text.data(), text.size(), 0);
    return text;
}

struct BioDeleter {
    void operator()(BIO *b) const { BIO_free(b); }
};

std::unique_ptr<BIO, BioDeleter> memory_bio(const std::string &text) {
    BIO *bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    if (!bio)
        throw std::bad_alloc();
    return std::unique_ptr<BIO, BioDeleter>(bio);
}

struct PassphraseRequest {
    const std::string *path;
    bool asked = false;
    bool no_terminal = false;
};

// OpenSSL calls this only for an encrypted key.
extern "C" int ask_passphrase(char *buffer, int size, int, void *data) {
    auto *request = static_cast<PassphraseRequest *>(data);
    request->asked = true;
    if (!isatty(STDIN_FILENO)) {
        request->no_terminal = true;
        return -1;
    }
    std::string prompt = "Passphrase for " + *request->path + ": ";
    if (EVP_read_pw_string(buffer, size, prompt.c_str(), 0) != 0)
        return -1;
    return static_cast<int>(std::strlen(buffer));
}

EVP_PKEY *load_key(const std::string &path) {
    std::string pem = read_pem(path);
    PassphraseRequest request{&path};
    EVP_PKEY *key = PEM_read_bio_PrivateKey(memory_bio(pem).get(), nullptr, ask_passphrase, &request);
    ERR_clear_error();
    if (key)
        return key;
    if (request.no_terminal)
        throw ToolError(path, "the key is encrypted, and there is no terminal to ask for its passphrase");
    if (request.asked)
        throw ToolError(path, "cannot decrypt the key (wrong passphrase?)");
    throw ToolError(path, "not a PEM private key");
}

X509 *load_certificate(const std::string &path) {
    std::string pem = read_pem(path);
    X509 *certificate = PEM_read_bio_X509(memory_bio(pem).get(), nullptr, nullptr, nullptr);
    ERR_clear_error();
    if (!certificate)
        throw ToolError(path, "not a PEM X.509 certificate");
    return certificate;
}

} // namespace

void SigningKey::FreeKey::operator()(EVP_PKEY *key) const {
    EVP_PKEY_free(key);
}

void SigningKey::FreeCertificate::operator()(X509 *certificate) const {
    X509_free(certificate);
}

SigningKey::SigningKey(const std::string &key_path, const std::string &certificate_path)
    : key_(load_key(key_path)), certificate_(load_certificate(certificate_path)) {
    // UEFI firmware verifies RSA signatures; and only an RSA signature has a size known
    // before it is made, which the image's headers need before its data is written.
    if (EVP_PKEY_base_id(key_.get()) != EVP_PKEY_RSA)
        throw ToolError(key_path, "not an RSA key (Secure Boot signatures are RSA)");
    if (X509_check_private_key(certificate_.get(), key_.get()) != 1) {
        ERR_clear_error();
        throw ToolError(key_path, "does not match the certificate " + certificate_path);
    }
}

SigningKey::~SigningKey() = default;
SigningKey::SigningKey(SigningKey &&) noexcept = default;
SigningKey &SigningKey::operator=(SigningKey &&) noexcept = default;

} // namespace korvane
