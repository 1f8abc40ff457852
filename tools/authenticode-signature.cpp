#include "authenticode-signature.h"

#include "der.h"
#include "pe-format.h"
#include "signing-key.h"
#include "tool-error.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace korvane {

namespace {

using der::Bytes;

// Object identifiers: PKCS#7, PKCS#9, NIST and Microsoft's Authenticode arcs.
Bytes oid_signed_data() {
    return der::oid({1, 2, 840, 113549, 1, 7, 2});
}
Bytes oid_content_type() {
    return der::oid({1, 2, 840, 113549, 1, 9, 3});
}
Bytes oid_message_digest() {
    return der::oid({1, 2, 840, 113549, 1, 9, 4});
}
Bytes oid_rsa_encryption() {
    return der::oid({1, 2, 840, 113549, 1, 1, 1});
}
Bytes oid_sha256() {
    return der::oid({2, 16, 840, 1, 101, 3, 4, 2, 1});
}
Bytes oid_spc_indirect_data() {
    return der::oid({1, 3, 6, 1, 4, 1, 311, 2, 1, 4});
}
Bytes oid_spc_pe_image_data() {
    return der::oid({1, 3, 6, 1, 4, 1, 311, 2, 1, 15});
}

constexpr std::uint16_t WIN_CERT_REVISION_2_0 = 0x0200;
constexpr std::uint16_t WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002;
constexpr std::size_t WIN_CERTIFICATE_HEADER = 8;

Bytes sha256_algorithm() {
    return der::sequence({oid_sha256(), der::null()});
}

Bytes sha256(std::span<const std::uint8_t> data) {
    Bytes digest(32);
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1)
        throw std::bad_alloc();
    return digest;
}

// SpcPeImageData as Authenticode writes it: no flags, and a file link that is the BMP
// string "<<<Obsolete>>>".
Bytes pe_image_data() {
    Bytes obsolete;
    for (char c : std::string_view("<<<Obsolete>>>"))
        obsolete.insert(obsolete.end(), {0, static_cast<std::uint8_t>(c)});
    Bytes no_flags{der::BIT_STRING, 0x01, 0x00};
    Bytes file = der::constructed(der::context(2), {der::tlv(der::context_primitive(0), obsolete)});
    return der::sequence({no_flags, der::constructed(der::context(0), {file})});
}

Bytes indirect_data_content(const Sha256Digest &digest) {
    Bytes data = der::sequence({oid_spc_pe_image_data(), pe_image_data()});
    Bytes digest_info = der::sequence({sha256_algorithm(), der::tlv(der::OCTET_STRING, digest)});
    return der::sequence({data, digest_info});
}

// The authenticated attributes as the SET OF that the signature covers; inside SignerInfo
// the same bytes carry the tag [0] IMPLICIT instead.
Bytes authenticated_attributes(std::span<const std::uint8_t> content) {
    Bytes content_type = der::sequence({oid_content_type(), der::set_of({oid_spc_indirect_data()})});
    // PKCS#7 digests only the contents octets of the content, not its tag and length.
    Bytes message_digest = der::sequence(
        {oid_message_digest(), der::set_of({der::tlv(der::OCTET_STRING, sha256(der::contents_of(content)))})});
    return der::set_of({content_type, message_digest});
}

Bytes encoded(const X509 *certificate) {
    int size = i2d_X509(certificate, nullptr);
    if (size <= 0)
        throw ToolError("certificate", "cannot be encoded");
    Bytes out(static_cast<std::size_t>(size));
    std::uint8_t *p = out.data();
    i2d_X509(certificate, &p);
    return out;
}

Bytes issuer_and_serial(X509 *certificate) {
    const X509_NAME *issuer = X509_get_issuer_name(certificate);
    const ASN1_INTEGER *serial = X509_get0_serialNumber(certificate);
    int issuer_size = i2d_X509_NAME(issuer, nullptr), serial_size = i2d_ASN1_INTEGER(serial, nullptr);
    if (issuer_size <= 0 || serial_size <= 0)
        throw ToolError("certificate", "its issuer or serial number cannot be encoded");
    Bytes name(static_cast<std::size_t>(issuer_size)), number(static_cast<std::size_t>(serial_size));
    std::uint8_t *p = name.data();
    i2d_X509_NAME(issuer, &p);
    p = number.data();
    i2d_ASN1_INTEGER(serial, &p);
    return der::sequence({name, number});
}

Bytes rsa_signature(EVP_PKEY *key, std::span<const std::uint8_t> data) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::size_t size = 0;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &size, data.data(), data.size()) != 1)
        throw ToolError("signature", "the key cannot sign with SHA-256");
    Bytes signature(size);
    if (EVP_DigestSign(context.get(), signature.data(), &size, data.data(), data.size()) != 1)
        throw ToolError("signature", "signing failed");
    signature.resize(size);
    return signature;
}

// A dry run (no key to sign with) puts zeros where the signature goes; an RSA signature
// is always as long as the modulus, so the size comes out the same.
Bytes signed_data(const SigningKey &key, const Sha256Digest &digest, bool dry_run) {
    Bytes content = indirect_data_content(digest);
    Bytes attributes = authenticated_attributes(content);
    Bytes signature =
        dry_run ? Bytes(static_cast<std::size_t>(EVP_PKEY_get_size(key.key()))) : rsa_signature(key.key(), attributes);
    Bytes implicit_attributes = attributes;
    implicit_attributes[0] = der::context(0);
    Bytes signer_info = der::sequence({der::small_integer(1), issuer_and_serial(key.certificate()), sha256_algorithm(),
                                       implicit_attributes, der::sequence({oid_rsa_encryption(), der::null()}),
                                       der::tlv(der::OCTET_STRING, signature)});
    Bytes signed_data =
        der::sequence({der::small_integer(1), der::set_of({sha256_algorithm()}),
                       der::sequence({oid_spc_indirect_data(), der::constructed(der::context(0), {content})}),
                       der::constructed(der::context(0), {encoded(key.certificate())}), der::set_of({signer_info})});
    return der::sequence({oid_signed_data(), der::constructed(der::context(0), {signed_data})});
}

Bytes win_certificate(const Bytes &pkcs7) {
    Bytes table(WIN_CERTIFICATE_HEADER);
    pe::store_le32(table.data(), static_cast<std::uint32_t>(WIN_CERTIFICATE_HEADER + pkcs7.size()));
    pe::store_le16(table.data() + 4, WIN_CERT_REVISION_2_0);
    pe::store_le16(table.data() + 6, WIN_CERT_TYPE_PKCS_SIGNED_DATA);
    table.insert(table.end(), pkcs7.begin(), pkcs7.end());
    table.resize(pe::align_up(table.size(), 8), 0);
    return table;
}

} // namespace

std::size_t certificate_table_size(const SigningKey &key) {
    return win_certificate(signed_data(key, Sha256Digest{}, true)).size();
}

std::vector<std::uint8_t> certificate_table(const SigningKey &key, const Sha256Digest &digest) {
    return win_certificate(signed_data(key, digest, false));
}

} // namespace korvane
