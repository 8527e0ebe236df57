// SPDX-License-Identifier: 0BSD
// libFuzzer target: the packer's readers on arbitrary file contents, as
// `stubpack inspect`, `inspect --json`, `verify` and `extract` run them, and
// the stub check of `build`.
//
// Every input must end in a defined outcome: a one-line refusal, or a read
// whose parts agree with each other. inspect's JSON must parse; a file that
// verify passes must pass the loader checks, read back as whole in inspect
// (the setup program's signature too), and decode to exactly what an
// independent liblzma decode gives, and
// extract must write those bytes (a file set: its files, into a folder,
// block by block as an independent decode gives them); a stub that build
// accepts must give a launcher file, and a file-set launcher file, that
// verify passes. Anything else aborts.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <lzma.h>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "packer/FileIO.h"
#include "packer/FilePlatform.h"
#include "packer/OutputFile.h"
#include "packer/PackageReader.h"
#include "packer/PackageWriter.h"
#include "packer/PeImage.h"
#include "packer/FileSetWriter.h"
#include "packer/SetFolderOutput.h"
#include "packer/SetupSignature.h"
#include "packer/Verify.h"
#include "tests/fuzz/ReferenceDecode.h"
#include "tests/fuzz/FuzzChecks.h"
#include "tests/fuzz/JsonChecker.h"

namespace {

using packer::Bytes;
using packer::SetupSignature;


std::string ScratchPath(const char* what) {
  return (std::filesystem::temp_directory_path() /
          ("packer_fuzz-" + std::to_string(getpid()) + what))
      .string();
}

void WriteScratch(const std::string& path, const Bytes& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  Require(file != nullptr);
  Require(std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
  Require(std::fclose(file) == 0);
}

// A file set's files as verify hands them to extract, from several
// threads.
class MemorySetSink : public packer::SetSink {
 public:
  bool Create(const std::u16string& path, uint64_t size) override {
    files.push_back({path, {}});
    files.back().second.reserve((size_t)std::min<uint64_t>(size, 1u << 20));
    return true;
  }
  bool WriteAt(uint32_t index, uint64_t offset, const uint8_t* data, size_t size,
               std::string*) override {
    std::lock_guard<std::mutex> held(lock);
    Require(index < files.size());
    Bytes& file = files[index].second;
    if (file.size() < offset + size) file.resize((size_t)(offset + size));
    std::copy(data, data + size, file.begin() + (ptrdiff_t)offset);
    return true;
  }
  std::vector<std::pair<std::u16string, Bytes>> files;
  std::mutex lock;
};

SetupSignature WholeSignature(const Bytes& program) {
  packer::SetupSignatureReader reader(program.size());
  reader.Take(0, program.data(), program.size());
  return reader.Finish();
}

bool SameSignature(const std::optional<SetupSignature>& read, const SetupSignature& whole) {
  return read && read->state == whole.state && read->detail == whole.detail &&
         read->signer.certificate == whole.signer.certificate;
}

// A file set verify passed: its table as inspect lists it, every block as
// plain liblzma decodes it, and extract's folder holding exactly those
// files.
void CheckFileSet(const Bytes& file, const packer::PackageInfo& info,
                  const packer::VerifyReport& report, const MemorySetSink& files) {
  Require(info.fileSet && info.fileSet->listed && info.crcMatches && info.sizeSufficient &&
          info.textInFile);
  const packer::FileSetInfo& set = *info.fileSet;
  Bytes all, expected;
  Require(files.files.size() == set.files.size());
  for (size_t i = 0; i < set.files.size(); ++i) {
    Require(files.files[i].first == set.files[i].path);
    Require(files.files[i].second.size() == set.files[i].size);
    all.insert(all.end(), files.files[i].second.begin(), files.files[i].second.end());
  }
  for (const FileSetBlock& block : set.blocks) {
    PackageHeader one = info.header;
    one.payloadOffset = (uint32_t)block.packedOffset;
    one.payloadPackedSize = (uint32_t)block.packedSize;
    one.payloadSize = (int32_t)block.unpackedSize;
    Bytes decoded;
    Require(block.packedOffset + block.packedSize <= file.size() &&
            ReferenceDecode(one, file.data(), file.size(), &decoded));
    expected.insert(expected.end(), decoded.begin(), decoded.end());
  }
  Require(all == expected);
  const Bytes& entry = files.files[set.table.entryIndex].second;
  const std::u16string& entryPath = set.files[set.table.entryIndex].path;
  if (EntryKindOf(entryPath.data(), (uint32_t)entryPath.size()) == EntryKind::Program)
    Require(SameSignature(report.setupSignature, WholeSignature(entry)));
  else
    Require(!report.setupSignature);

  const std::string folder = ScratchPath(".set");
  std::filesystem::remove_all(folder);
  packer::SetFolderOutput output;
  Require(output.Open(folder));
  std::string problem;
  for (const auto& one : files.files) Require(output.Create(one.first, one.second.size()));
  for (size_t i = 0; i < files.files.size(); ++i)
    Require(output.WriteAt((uint32_t)i, 0, files.files[i].second.data(),
                           files.files[i].second.size(), &problem));
  Require(output.Commit());
  size_t found = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
    found += entry.is_regular_file();
  Require(found == files.files.size());
  std::filesystem::remove_all(folder);
}

// inspect, then verify and extract, on one file; true when verify passed.
bool CheckReaders(const Bytes& file) {
  packer::PackageInfo info;
  std::string error;
  const bool readable = packer::ReadPackageInfo(file, &info, &error);
  const std::string path = ScratchPath(".exe");
  WriteScratch(path, file);
  packer::MemorySink decoded;
  MemorySetSink files;
  // extract's choice: a folder for a file set, a file otherwise.
  const bool fileSet = packer::CarriesFileSet(path);
  packer::VerifyReport report = fileSet
                                    ? packer::VerifyLauncherFile(path, nullptr, nullptr, &files)
                                    : packer::VerifyLauncherFile(path, &decoded);
  if (readable) {
    // inspect shows the setup program's signature as verify read it.
    info.setupSignature = report.setupSignature;
    Require(!packer::FormatPackageInfo("fuzz.exe", info).empty());
    const std::string json = packer::FormatPackageInfoJson("fuzz.exe", info);
    Require(JsonChecker(json).Document());
  } else {
    Require(OneLine(error));
  }
  if (!report.ok) {
    Require(OneLine(report.failure));
    return false;
  }
  // What verify passes, Windows loads and inspect reads as whole.
  Require(packer::CheckLoadableImage(file, file.size()).empty());
  if (fileSet) {
    Require(readable);
    CheckFileSet(file, info, report, files);
    return true;
  }
  Require(readable && info.crcMatches && info.sizeSufficient &&
          info.payloadInFile && info.textInFile);
  Bytes expected;
  Require(ReferenceDecode(info.header, file.data(), file.size(), &expected));
  Require(decoded.bytes.size() == (size_t)info.header.payloadSize);
  Require(decoded.bytes == expected);
  // Read piece by piece as it was decoded, the setup program's signature is
  // what the whole program gives.
  Require(SameSignature(report.setupSignature, WholeSignature(expected)));

  const std::string out = ScratchPath(".out");
  packer::OutputFile output;
  Require(output.Open(out) &&
          output.Append(decoded.bytes.data(), decoded.bytes.size()) &&
          output.Commit());
  Bytes extracted;
  Require(packer::ReadWholeFile(out, "output", &extracted, &error));
  Require(extracted == expected);
  std::remove(out.c_str());
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A machine with 256 MiB to spare: larger requests take the launcher's
  // out-of-memory stop, like a real allocation that fails.
  SetFilePlatformAllocationLimit(256u << 20);
  const Bytes file(data, data + size);
  CheckReaders(file);

  const std::string problem = packer::CheckStub(file);
  if (!problem.empty()) {
    Require(OneLine(problem));
    return 0;
  }
  packer::PackageOptions options;
  options.lzma.preset = 0;
  options.lzma.dictionarySize = 4096;
  packer::BuildResult built =
      packer::BuildLauncherFile(file, Bytes(100, 'S'), options);
  Require(built.ok);
  Require(CheckReaders(built.file));
  // The same stub carries a file set as well.
  const Bytes program(100, 'S'), content(5000, 'D');
  packer::FileSet set;
  set.entry = u"setup.exe";
  set.blockSize = 4096;
  for (const auto& one : {std::make_pair(u"setup.exe", &program),
                          std::make_pair(u"data\\a.bin", &content)}) {
    packer::SetFile entry;
    entry.path = one.first;
    entry.size = one.second->size();
    entry.name = "set file";
    const Bytes* bytes = one.second;
    entry.open = [bytes](std::string*) { return std::make_unique<packer::MemorySource>(*bytes); };
    set.files.push_back(entry);
  }
  packer::MemorySink sink;
  Require(packer::BuildFileSetLauncher(file, set, options, sink) == "");
  Require(CheckReaders(sink.bytes));
  return 0;
}
