// SPDX-License-Identifier: 0BSD
// Reading the setup program's certificate table as its bytes go by, and
// comparing its signer with the launcher file's.
#include "packer/SetupSignature.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "packer/SignerCertificate.h"

namespace packer {
namespace {

// Enough for any real program's PE headers, small beside verify's memory.
const uint64_t kHeadBytes = 64u << 10;
// As much as signing may add: a larger table is not read.
const uint64_t kTableLimit = kSignatureAllowance;
const uint32_t kPieceSize = 1u << 20;
const uint32_t kEntryHead = 8;

uint32_t U32(const uint8_t* at) {
  return at[0] | at[1] << 8 | at[2] << 16 | (uint32_t)at[3] << 24;
}

SetupSignature Unread(const std::string& why) {
  SetupSignature result;
  result.state = SignatureState::Unread;
  result.detail = why;
  return result;
}

}  // namespace

SetupSignatureReader::SetupSignatureReader(uint64_t programSize)
    : programSize_(programSize), headLimit_(std::min(programSize, kHeadBytes)) {
  head_.reserve((size_t)headLimit_);
}

uint64_t SetupSignatureReader::HeadBytes(uint64_t programSize) {
  return std::min(programSize, kHeadBytes);
}

uint64_t SetupSignatureReader::TailBytes(uint64_t programSize) {
  return std::min(programSize, kTableLimit);
}

uint64_t SetupSignatureReader::NextWanted() const {
  if (!headersRead_) return head_.size();
  if (table_.size() < tableLimit_) return layout_.certificateOffset + table_.size();
  return programSize_;
}

// Appends to `into` (which holds the bytes from `start` on, up to `limit`
// bytes) what the piece at `offset` adds to it.
void SetupSignatureReader::Append(std::vector<uint8_t>* into, uint64_t start, uint64_t limit,
                                  uint64_t offset, const uint8_t* data, size_t size) {
  const uint64_t next = start + into->size();
  if (into->size() >= limit || offset > next || offset + size <= next) return;
  const uint64_t skip = next - offset;
  const size_t count = (size_t)std::min<uint64_t>(size - skip, limit - into->size());
  into->insert(into->end(), data + skip, data + skip + count);
}

void SetupSignatureReader::Take(uint64_t offset, const uint8_t* data, size_t size) {
  if (!headersRead_) {
    Append(&head_, 0, headLimit_, offset, data, size);
    if (head_.size() == headLimit_) ReadHeaders();
  }
  if (headersRead_) Append(&table_, layout_.certificateOffset, tableLimit_, offset, data, size);
}

void SetupSignatureReader::ReadHeaders() {
  headersRead_ = true;
  std::string problem;
  if (!ReadPeLayout(head_, &layout_, &problem)) {
    layout_ = PeLayout();
    // Headers that go on past the head are not judged: the program may
    // well be a PE image.
    const bool mz = head_.size() >= 64 && head_[0] == 'M' && head_[1] == 'Z';
    const uint64_t pe = mz ? U32(&head_[60]) : 0;
    const uint64_t optionalSize =
        pe + 24 <= head_.size() ? (head_[pe + 20] | head_[pe + 21] << 8) : 0;
    if (mz && head_.size() < programSize_ && pe + 24 + optionalSize > head_.size()) {
      result_ = Unread("its PE header at byte " + std::to_string(pe) +
                       " goes on past the first 64 KiB stubpack reads");
      return;
    }
    result_.detail = "not a PE image";
    return;
  }
  if (layout_.certificateOffset == 0 && layout_.certificateSize == 0) return;
  // Only a table that could end the program is kept; CheckCertificateTable
  // names every other fault without reading it. One larger than stubpack
  // reads is not read at all, so no byte before the program's last
  // kTableLimit is ever needed.
  const uint64_t offset = layout_.certificateOffset;
  if (offset < programSize_ && offset + layout_.certificateSize == programSize_)
    tableLimit_ = layout_.certificateSize;
  if (tableLimit_ > kTableLimit) {
    tableLimit_ = 0;
    result_ = Unread("its certificate table is " + std::to_string(layout_.certificateSize) +
                     " bytes; stubpack reads at most 16 MiB");
    result_.tableOffset = layout_.certificateOffset;
    result_.tableSize = layout_.certificateSize;
    return;
  }
  table_.reserve((size_t)tableLimit_);
  // A table that starts within the head: its first bytes have gone by.
  if (offset < head_.size())
    Append(&table_, offset, tableLimit_, 0, head_.data(), head_.size());
}

SetupSignature SetupSignatureReader::Finish() {
  if (!headersRead_ && head_.size() == headLimit_) ReadHeaders();
  if (!headersRead_ || table_.size() < tableLimit_)
    return Unread("the program ended before its headers and certificate table were read");
  SetupSignature result = result_;
  if (!result.detail.empty() || (layout_.certificateOffset == 0 && layout_.certificateSize == 0))
    return result;
  result.tableOffset = layout_.certificateOffset;
  result.tableSize = layout_.certificateSize;
  const uint64_t start = layout_.certificateOffset;
  const FileReader read = [&](uint64_t offset, uint8_t* into, size_t size) {
    if (offset < start || offset - start + size > table_.size()) return false;
    std::memcpy(into, table_.data() + (offset - start), size);
    return true;
  };
  // The table may not reach back into the header that points at it.
  const std::string problem = CheckCertificateTable(
      layout_, layout_.securityDirectoryOffset + 8, programSize_, read, "the PE header");
  if (!problem.empty()) {
    result.state = SignatureState::Broken;
    result.detail = problem;
    return result;
  }
  result.state = SignatureState::Ok;
  result.signer = ReadTableSigner(read, start, layout_.certificateSize);
  return result;
}

SetupSignature ReadSetupSignature(uint64_t size, const FileReader& read) {
  SetupSignatureReader reader(size);
  std::vector<uint8_t> piece;
  for (uint64_t next; (next = reader.NextWanted()) < size;) {
    piece.resize((size_t)std::min<uint64_t>(kPieceSize, size - next));
    if (!read(next, piece.data(), piece.size())) return Unread("the program cannot be read");
    reader.Take(next, piece.data(), piece.size());
  }
  return reader.Finish();
}

SetupSignature ReadSetupSignature(const std::string& path) {
  std::error_code code;
  const uint64_t size = std::filesystem::file_size(std::filesystem::u8path(path), code);
  std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
  if (code || !file) return Unread("cannot read " + path);
  return ReadSetupSignature(size, [&file](uint64_t offset, uint8_t* into, size_t count) {
    file.seekg((std::streamoff)offset);
    return (bool)file.read((char*)into, (std::streamsize)count);
  });
}

Signer ReadTableSigner(const FileReader& read, uint64_t tableOffset, uint64_t tableSize) {
  Signer signer;
  uint8_t head[kEntryHead];
  if (tableSize < kEntryHead || !read(tableOffset, head, sizeof head)) {
    signer.problem = "certificate table cannot be read";
    return signer;
  }
  const uint64_t length = std::min<uint64_t>(U32(head), tableSize);
  if (length > kTableLimit) {
    signer.problem = "signature is " + std::to_string(length) +
                     " bytes; stubpack reads at most 16 MiB";
    return signer;
  }
  std::vector<uint8_t> entry((size_t)(length > kEntryHead ? length - kEntryHead : 0));
  if (!entry.empty() && !read(tableOffset + kEntryHead, entry.data(), entry.size())) {
    signer.problem = "certificate table cannot be read";
    return signer;
  }
  std::string problem;
  if (!FindSignerCertificate(entry.data(), entry.size(), &signer.certificate, &problem))
    signer.problem = "signature is not the PKCS#7 SignedData Windows reads: " + problem;
  return signer;
}

SignerMatch CompareSigners(const SetupSignature& setup, const Signer* launcher) {
  if (setup.state != SignatureState::Ok || !launcher || setup.signer.certificate.empty() ||
      launcher->certificate.empty())
    return SignerMatch::NotCompared;
  return setup.signer.certificate == launcher->certificate ? SignerMatch::Same
                                                           : SignerMatch::Different;
}

std::string SignatureStateName(SignatureState state) {
  switch (state) {
    case SignatureState::None: return "none";
    case SignatureState::Ok: return "ok";
    case SignatureState::Broken: return "broken";
    case SignatureState::Unread: return "unread";
  }
  return "unread";
}

std::string DescribeSetupSignature(const SetupSignature& setup, const Signer* launcher) {
  switch (setup.state) {
    case SignatureState::None:
      return "none: no certificate table" + (setup.detail.empty() ? "" : " (" + setup.detail + ")") +
             (launcher ? "; Windows shows \"Unknown publisher\" when it asks to elevate it" : "");
    case SignatureState::Broken: return "FAILED: " + setup.detail;
    case SignatureState::Unread: return "not read: " + setup.detail;
    case SignatureState::Ok: break;
  }
  std::string signers;
  switch (CompareSigners(setup, launcher)) {
    case SignerMatch::Same: signers = "the same signer certificate as the launcher file"; break;
    case SignerMatch::Different:
      signers = "a different signer certificate from the launcher file's";
      break;
    case SignerMatch::NotCompared:
      signers = !launcher ? "the launcher file is not signed"
                : !setup.signer.problem.empty()
                    ? "signers not compared: its " + setup.signer.problem
                    : "signers not compared: the launcher file's " + launcher->problem;
      break;
  }
  return "ok: certificate table of " + std::to_string(setup.tableSize) +
         " bytes, ending the program; " + signers + " (certificates are not judged here)";
}

}  // namespace packer
