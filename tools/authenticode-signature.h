// The signature of a PE image for UEFI Secure Boot: an attribute certificate table entry
// (WIN_CERTIFICATE, revision 2.0, type PKCS_SIGNED_DATA) holding a PKCS#7 SignedData whose
// content is Authenticode's SpcIndirectDataContent with the image's SHA-256 digest, signed
// RSASSA-PKCS1-v1_5 with SHA-256 over its authenticated attributes. The entry is padded to
// a multiple of 8 bytes, as the table must be.
#pragma once

#include "authenticode-digest.h"

#include <cstdint>
#include <vector>

namespace korvane {

class SigningKey;

// The entry's size with its padding: the same for every digest signed with this key, so
// that the headers can point at the table before the digest is known.
std::size_t certificate_table_size(const SigningKey &key);

std::vector<std::uint8_t> certificate_table(const SigningKey &key, const Sha256Digest &digest);

} // namespace korvane
