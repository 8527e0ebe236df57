// SPDX-License-Identifier: 0BSD
// Finding the signer's certificate in PKCS#7 SignedData. Only what that
// takes is read: definite lengths, one-byte tags, no recursion; every length
// is checked against what encloses it before anything is read.
#include "packer/SignerCertificate.h"

#include <cstdio>
#include <cstring>

namespace packer {
namespace {

const uint8_t kInteger = 0x02, kOid = 0x06, kSequence = 0x30, kSet = 0x31;
const uint8_t kContext0 = 0xA0, kContext1 = 0xA1;  // constructed [0], [1]
// 1.2.840.113549.1.7.2: PKCS#7 signedData.
const uint8_t kSignedDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
// Lengths of more bytes would exceed any certificate table.
const size_t kMaxLengthBytes = 4;

struct Element {
  uint8_t tag = 0;
  const uint8_t* begin = nullptr;  // the tag
  const uint8_t* contents = nullptr;
  size_t length = 0;  // of the contents
  const uint8_t* end() const { return contents + length; }
  size_t size() const { return (size_t)(end() - begin); }
};

bool Fail(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

const char* TagName(uint8_t tag) {
  switch (tag) {
    case kInteger: return "INTEGER";
    case kOid: return "OBJECT IDENTIFIER";
    case kSequence: return "SEQUENCE";
    case kSet: return "SET";
    default: return "[0]";
  }
}

bool SameBytes(const Element& a, const Element& b) {
  return a.size() == b.size() && std::memcmp(a.begin, b.begin, a.size()) == 0;
}

// The elements inside one element (or inside the whole signature), in order.
class DerReader {
 public:
  DerReader(const uint8_t* origin, const uint8_t* begin, const uint8_t* end)
      : origin_(origin), at_(begin), end_(end) {}
  DerReader(const uint8_t* origin, const Element& outer)
      : DerReader(origin, outer.contents, outer.end()) {}

  bool AtEnd() const { return at_ == end_; }

  bool Next(const char* what, Element* element, std::string* error) {
    const std::string where = std::string(what) + " (byte " + std::to_string(at_ - origin_) + ")";
    if (at_ == end_) return Fail(error, where + " is missing");
    if (end_ - at_ < 2) return Fail(error, where + " is cut short");
    element->begin = at_;
    element->tag = *at_++;
    if ((element->tag & 0x1F) == 0x1F) return Fail(error, where + " has a multi-byte tag");
    const uint8_t first = *at_++;
    size_t length = first;
    if (first == 0x80) return Fail(error, where + " has an indefinite length (BER, not DER)");
    if (first > 0x80) {
      const size_t count = first & 0x7F;
      if (count > kMaxLengthBytes) return Fail(error, where + " has a length of " +
                                                          std::to_string(count) + " bytes");
      if ((size_t)(end_ - at_) < count) return Fail(error, where + " is cut short");
      length = 0;
      for (size_t i = 0; i < count; ++i) length = length << 8 | *at_++;
    }
    if (length > (size_t)(end_ - at_))
      return Fail(error, where + " runs " + std::to_string(length - (size_t)(end_ - at_)) +
                             " bytes past what holds it");
    element->contents = at_;
    element->length = length;
    at_ += length;
    return true;
  }

  bool Expect(uint8_t tag, const char* what, Element* element, std::string* error) {
    const size_t offset = (size_t)(at_ - origin_);
    if (!Next(what, element, error)) return false;
    if (element->tag == tag) return true;
    char found[8];
    std::snprintf(found, sizeof found, "0x%02X", element->tag);
    return Fail(error, std::string(what) + " (byte " + std::to_string(offset) + ") has tag " +
                           found + ", not " + TagName(tag));
  }

 private:
  const uint8_t* origin_;
  const uint8_t* at_;
  const uint8_t* end_;
};

// The issuer and serial number in a certificate's TBSCertificate: an
// optional [0] version, the serial number, the signature algorithm, the
// issuer.
bool ReadIssuerAndSerial(const uint8_t* origin, const Element& certificate, Element* issuer,
                         Element* serial, std::string* error) {
  DerReader fields(origin, certificate);
  Element tbs, algorithm;
  if (!fields.Expect(kSequence, "a certificate's TBSCertificate", &tbs, error)) return false;
  DerReader tbsFields(origin, tbs);
  if (!tbsFields.Next("a certificate's version or serial number", serial, error)) return false;
  if (serial->tag == kContext0 &&
      !tbsFields.Next("a certificate's serial number", serial, error))
    return false;
  if (serial->tag != kInteger)
    return Fail(error, "a certificate's serial number (byte " +
                           std::to_string(serial->begin - origin) + ") is no INTEGER");
  return tbsFields.Expect(kSequence, "a certificate's signature algorithm", &algorithm, error) &&
         tbsFields.Expect(kSequence, "a certificate's issuer", issuer, error);
}

}  // namespace

bool FindSignerCertificate(const uint8_t* signature, size_t size,
                           std::vector<uint8_t>* certificate, std::string* error) {
  const uint8_t* origin = signature;
  // ContentInfo { contentType, [0] EXPLICIT SignedData }; padding may follow.
  DerReader top(origin, signature, signature + size);
  Element contentInfo, type, explicitContent, signedData;
  if (!top.Expect(kSequence, "the ContentInfo", &contentInfo, error)) return false;
  DerReader info(origin, contentInfo);
  if (!info.Expect(kOid, "the content type", &type, error)) return false;
  if (type.length != sizeof kSignedDataOid ||
      std::memcmp(type.contents, kSignedDataOid, sizeof kSignedDataOid) != 0)
    return Fail(error, "the content type is not PKCS#7 signed data");
  if (!info.Expect(kContext0, "the signed content", &explicitContent, error)) return false;
  DerReader wrapper(origin, explicitContent);
  if (!wrapper.Expect(kSequence, "the SignedData", &signedData, error)) return false;

  // SignedData { version, digestAlgorithms, contentInfo, [0] certificates
  // OPTIONAL, [1] crls OPTIONAL, signerInfos }.
  DerReader fields(origin, signedData);
  Element version, digests, content, next, certificates;
  if (!fields.Expect(kInteger, "the SignedData version", &version, error) ||
      !fields.Expect(kSet, "the digest algorithms", &digests, error) ||
      !fields.Expect(kSequence, "the signed content's ContentInfo", &content, error) ||
      !fields.Next("the certificates or SignerInfos", &next, error))
    return false;
  const bool hasCertificates = next.tag == kContext0;
  if (hasCertificates) {
    certificates = next;
    if (!fields.Next("the SignerInfos", &next, error)) return false;
  }
  if (next.tag == kContext1 && !fields.Next("the SignerInfos", &next, error)) return false;
  if (next.tag != kSet)
    return Fail(error, "the SignerInfos (byte " + std::to_string(next.begin - origin) +
                           ") are not a SET");

  // SignerInfo { version, issuerAndSerialNumber, ... }; CMS also allows a
  // [0] subject key identifier, which names no certificate by its bytes.
  DerReader signers(origin, next);
  Element signer, signerVersion, id, issuer, serial;
  if (!signers.Expect(kSequence, "the first SignerInfo", &signer, error)) return false;
  DerReader signerFields(origin, signer);
  if (!signerFields.Expect(kInteger, "the SignerInfo version", &signerVersion, error) ||
      !signerFields.Next("the signer's identifier", &id, error))
    return false;
  if (id.tag != kSequence)
    return Fail(error, "the first SignerInfo names its certificate by key identifier, "
                       "not by issuer and serial number");
  DerReader idFields(origin, id);
  if (!idFields.Expect(kSequence, "the signer's issuer", &issuer, error) ||
      !idFields.Expect(kInteger, "the signer's serial number", &serial, error))
    return false;
  if (!hasCertificates) return Fail(error, "the signature carries no certificates");

  DerReader list(origin, certificates);
  size_t count = 0;
  while (!list.AtEnd()) {
    Element candidate, candidateIssuer, candidateSerial;
    if (!list.Next("a certificate", &candidate, error)) return false;
    ++count;
    if (candidate.tag != kSequence) continue;  // an attribute certificate or the like
    if (!ReadIssuerAndSerial(origin, candidate, &candidateIssuer, &candidateSerial, error))
      return false;
    if (SameBytes(candidateIssuer, issuer) && SameBytes(candidateSerial, serial)) {
      certificate->assign(candidate.begin, candidate.end());
      return true;
    }
  }
  return Fail(error, "none of its " + std::to_string(count) +
                         " certificates is the one its first SignerInfo names");
}

}  // namespace packer
