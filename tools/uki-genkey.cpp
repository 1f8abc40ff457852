#include "uki-genkey.h"

#include "tool-error.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace korvane {

namespace {

constexpr int SECUREBOOT_RSA_BITS = 2048;
constexpr long CERTIFICATE_DAYS = 3650;

template <typename T, void (*F)(T *)> struct Deleter {
    void operator()(T *p) const { F(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

[[noreturn]] void openssl_failed(const std::string &doing) {
    unsigned long e = ERR_peek_last_error();
    ERR_clear_error();
    const char *reason = e ? ERR_reason_error_string(e) : nullptr;
    throw ToolError("genkey", doing + ": " + (reason ? reason : "unknown error"));
}

std::string pem(const std::function<int(BIO *)> &write) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || write(bio.get()) != 1)
        openssl_failed("cannot encode PEM");
    char *data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(n));
}

std::string private_pem(EVP_PKEY *key) {
    return pem([&](BIO *b) { return PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr); });
}

std::string public_pem(EVP_PKEY *key) {
    return pem([&](BIO *b) { return PEM_write_bio_PUBKEY(b, key); });
}

KeyPtr generate(bool ec, unsigned bits) {
    KeyPtr key(ec ? EVP_EC_gen("P-256") : EVP_RSA_gen(bits));
    if (!key)
        openssl_failed("cannot generate a key");
    return key;
}

void add_extension(X509 *cert, int nid, const char *value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>> ext(
        X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    if (!ext || X509_add_ext(cert, ext.get(), -1) != 1)
        openssl_failed("cannot add a certificate extension");
}

// A self-signed code-signing certificate, valid from now for ten years.
CertPtr self_signed(EVP_PKEY *key, const std::string &common_name) {
    CertPtr cert(X509_new());
    unsigned char serial[16];
    if (!cert || RAND_bytes(serial, sizeof serial) != 1)
        openssl_failed("cannot make a certificate");
    serial[0] &= 0x7F; // a positive serial number
    std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>> bn(BN_bin2bn(serial, sizeof serial, nullptr));
    X509_NAME *name = X509_get_subject_name(cert.get());
    if (!bn || X509_set_version(cert.get(), 2) != 1 || !BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get())) ||
        !X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) ||
        !X509_time_adj_ex(X509_getm_notAfter(cert.get()), CERTIFICATE_DAYS, 0, nullptr) ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char *>(common_name.c_str()), -1, -1, 0) != 1 ||
        X509_set_issuer_name(cert.get(), name) != 1 || X509_set_pubkey(cert.get(), key) != 1)
        openssl_failed("cannot make a certificate");
    add_extension(cert.get(), NID_basic_constraints, "critical,CA:FALSE");
    add_extension(cert.get(), NID_key_usage, "critical,digitalSignature");
    add_extension(cert.get(), NID_ext_key_usage, "codeSigning");
    add_extension(cert.get(), NID_subject_key_identifier, "hash");
    if (X509_sign(cert.get(), key, EVP_sha256()) == 0)
        openssl_failed("cannot sign the certificate");
    return cert;
}

struct NewFile {
    std::string path;
    std::string contents;
    mode_t mode;
};

// Creates every file, none of which may exist; on a failure removes those it made.
void write_new_files(const std::vector<NewFile> &files) {
    for (const NewFile &f : files) {
        struct stat st;
        if (::lstat(f.path.c_str(), &st) == 0)
            throw ToolError(f.path, "already exists; genkey does not overwrite");
    }
    std::vector<std::string> made;
    try {
        for (const NewFile &f : files) {
            int fd = ::open(f.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, f.mode);
            if (fd < 0)
                throw ToolError(f.path, "cannot create: " + errno_text(errno));
            made.push_back(f.path);
            ssize_t n = ::write(fd, f.contents.data(), f.contents.size());
            int error = errno;
            if (::close(fd) != 0 && n >= 0) {
                error = errno;
                n = -1;
            }
            if (n != static_cast<ssize_t>(f.contents.size()))
                throw ToolError(f.path, "cannot write: " + errno_text(n < 0 ? error : ENOSPC));
        }
    } catch (...) {
        for (const std::string &path : made)
            ::unlink(path.c_str());
        throw;
    }
}

} // namespace

void generate_keys(const GenkeyRequest &request) {
    std::vector<NewFile> files;
    if (!request.pcr_private_key.empty()) {
        KeyPtr key = generate(request.ec, request.rsa_bits);
        files.push_back({request.pcr_private_key, private_pem(key.get()), 0600});
        files.push_back({request.pcr_public_key, public_pem(key.get()), 0644});
    }
    if (!request.secureboot_private_key.empty()) {
        KeyPtr key = generate(false, SECUREBOOT_RSA_BITS);
        CertPtr cert = self_signed(key.get(), request.common_name);
        files.push_back({request.secureboot_private_key, private_pem(key.get()), 0600});
        files.push_back({request.secureboot_certificate,
                         pem([&](BIO *b) { return PEM_write_bio_X509(b, cert.get()); }), 0644});
    }
    write_new_files(files);
}

} // namespace korvane
