// SPDX-License-Identifier: 0BSD
// libFuzzer target: reading a setup program's signature. The first byte
// picks the input:
//   0  a WIN_CERTIFICATE's certificate (PKCS#7) for the DER reader;
//   1  a setup program, and a seed for how its bytes are cut.
//
// The DER reader must read nothing outside its input and hand back a
// certificate that lies inside it and is one whole DER element. The
// program's signature must read the same whether the program goes by in
// one piece, in pieces of any size, or is read only where the reader asks
// (as build reads the vendor's file); every reason is one line, and a table
// called well formed must end the program on an 8-byte boundary.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "packer/SetupSignature.h"
#include "packer/SignerCertificate.h"
#include "tests/fuzz/FuzzChecks.h"

namespace {

using packer::SetupSignature;

void FuzzSignerCertificate(const uint8_t* data, size_t size) {
  // A copy of exactly `size` bytes: ASan sees any read past it.
  const std::vector<uint8_t> signature(data, data + size);
  std::vector<uint8_t> certificate;
  std::string error;
  if (!packer::FindSignerCertificate(signature.data(), signature.size(), &certificate, &error)) {
    Require(OneLine(error));
    return;
  }
  Require(certificate.size() >= 2 && certificate[0] == 0x30);
  Require(std::search(signature.begin(), signature.end(), certificate.begin(),
                      certificate.end()) != signature.end());
  // One element: its length field covers exactly the rest.
  size_t length = certificate[1], header = 2;
  if (length > 0x80) {
    const size_t count = length & 0x7F;
    Require(certificate.size() >= 2 + count);
    length = 0;
    for (size_t i = 0; i < count; ++i) length = length << 8 | certificate[2 + i];
    header += count;
  }
  Require(header + length == certificate.size());
}

bool Same(const SetupSignature& a, const SetupSignature& b) {
  return a.state == b.state && a.detail == b.detail && a.tableOffset == b.tableOffset &&
         a.tableSize == b.tableSize && a.signer.certificate == b.signer.certificate &&
         a.signer.problem == b.signer.problem;
}

void FuzzProgram(uint8_t seed, const uint8_t* data, size_t size) {
  packer::SetupSignatureReader whole(size);
  whole.Take(0, data, size);
  const SetupSignature expected = whole.Finish();

  // Pieces of 1 to 4096 bytes, from a small generator seeded by the input.
  uint32_t state = seed * 2654435761u + 1;
  packer::SetupSignatureReader pieces(size);
  for (size_t at = 0; at < size;) {
    state = state * 1103515245u + 12345u;
    const size_t count = std::min<size_t>(size - at, 1 + (state >> 16) % 4096);
    const std::vector<uint8_t> piece(data + at, data + at + count);
    pieces.Take(at, piece.data(), piece.size());
    at += count;
  }
  Require(Same(pieces.Finish(), expected));

  // The first HeadBytes and the last TailBytes alone give the same.
  packer::SetupSignatureReader ends(size);
  const size_t head = (size_t)packer::SetupSignatureReader::HeadBytes(size);
  const size_t tail = (size_t)packer::SetupSignatureReader::TailBytes(size);
  ends.Take(0, data, head);
  ends.Take(size - tail, data + size - tail, tail);
  Require(Same(ends.Finish(), expected));

  const SetupSignature sparse =
      packer::ReadSetupSignature(size, [&](uint64_t offset, uint8_t* into, size_t count) {
        Require(offset + count <= size);
        std::memcpy(into, data + offset, count);
        return true;
      });
  Require(Same(sparse, expected));

  using packer::SignatureState;
  Require(expected.detail.find('\n') == std::string::npos);
  const bool explained = !expected.detail.empty();
  if (expected.state == SignatureState::Broken || expected.state == SignatureState::Unread)
    Require(explained);
  if (expected.state == SignatureState::Ok) {
    Require(!explained);
    Require(expected.tableOffset % 8 == 0 &&
            (uint64_t)expected.tableOffset + expected.tableSize == size);
    Require(expected.signer.certificate.empty() != expected.signer.problem.empty());
    Require(expected.signer.problem.find('\n') == std::string::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  if (data[0] % 2 == 0) FuzzSignerCertificate(data + 1, size - 1);
  else FuzzProgram(data[1], data + 2, size - 2);
  return 0;
}
