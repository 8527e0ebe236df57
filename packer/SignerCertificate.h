// SPDX-License-Identifier: 0BSD
// Who signed: the signer's certificate in an Authenticode signature, found
// with a small DER reader made for this one path. Two files have the same
// signer when these bytes are equal; whether the certificate is valid or
// trusted is not judged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace packer {

// `signature` is the certificate of a WIN_CERTIFICATE entry (the bytes
// after its 8-byte head): a PKCS#7 ContentInfo holding SignedData, perhaps
// followed by padding. The signer's certificate is the one the first
// SignerInfo names by issuer and serial number. On success `certificate`
// holds its DER bytes, tag and length included; else a one-line reason.
// Reads nothing outside `signature` and takes time linear in its size.
bool FindSignerCertificate(const uint8_t* signature, size_t size,
                           std::vector<uint8_t>* certificate, std::string* error);

}  // namespace packer
