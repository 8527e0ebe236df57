// SPDX-License-Identifier: 0BSD
// The setup program's own signature. The launcher starts the setup program
// as the invoker, so Windows asks for elevation, and judges publisher rules,
// for that program, not for the launcher file: its signature matters as much
// as the launcher file's. Read as the program's bytes go by (verify's decoded
// stream, which inspect takes too) or from the vendor's file (build), by one
// reader that keeps the first 64 KiB and the certificate table only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "packer/PeImage.h"

namespace packer {

enum class SignatureState {
  None,    // no certificate table (or not a PE image at all)
  Ok,      // a well-formed certificate table, as verify judges the launcher's
  Broken,  // a table Windows would not take: the program counts as unsigned
  Unread,  // stubpack could not read it (`detail` says why); nothing judged
};

// A signer's certificate, DER, or why it could not be found.
struct Signer {
  std::vector<uint8_t> certificate;
  std::string problem;
};

struct SetupSignature {
  SignatureState state = SignatureState::None;
  std::string detail;  // one line: Broken, Unread, and None for a non-PE file
  uint32_t tableOffset = 0;
  uint32_t tableSize = 0;
  Signer signer;  // when Ok
};

class SetupSignatureReader {
 public:
  explicit SetupSignatureReader(uint64_t programSize);

  // The offset of the next byte the reader needs, or the program's size
  // when it needs none: a caller reading a file may skip to it.
  uint64_t NextWanted() const;
  // Bytes of the program at `offset`, in increasing order; bytes the
  // reader does not need are passed over.
  void Take(uint64_t offset, const uint8_t* data, size_t size);
  // Once the program has gone by.
  SetupSignature Finish();

  // The reader needs no byte outside the program's first HeadBytes and its
  // last TailBytes: a caller that sees the program out of order may keep
  // just those and hand them over in order afterwards.
  static uint64_t HeadBytes(uint64_t programSize);
  static uint64_t TailBytes(uint64_t programSize);

 private:
  void ReadHeaders();
  void Append(std::vector<uint8_t>* into, uint64_t start, uint64_t limit, uint64_t offset,
              const uint8_t* data, size_t size);

  uint64_t programSize_;
  uint64_t headLimit_;
  std::vector<uint8_t> head_;
  bool headersRead_ = false;
  PeLayout layout_;
  uint64_t tableLimit_ = 0;  // bytes of the table kept
  std::vector<uint8_t> table_;
  SetupSignature result_;
};

// A setup program of `size` bytes read through `read` at its headers and
// its table only; and the vendor's file at `path` read so.
SetupSignature ReadSetupSignature(uint64_t size, const FileReader& read);
SetupSignature ReadSetupSignature(const std::string& path);

// The signer of the first entry of a well-formed certificate table, read
// through `read`.
Signer ReadTableSigner(const FileReader& read, uint64_t tableOffset, uint64_t tableSize);

// How the setup program's signer compares with the launcher file's (whose
// signer is given when the launcher file is signed).
enum class SignerMatch { NotCompared, Same, Different };
SignerMatch CompareSigners(const SetupSignature& setup, const Signer* launcher);

// For verify and inspect: the state's name ("none", "ok", "broken",
// "unread"), and one line on the signature and the signers.
std::string SignatureStateName(SignatureState state);
std::string DescribeSetupSignature(const SetupSignature& setup, const Signer* launcher);

}  // namespace packer
