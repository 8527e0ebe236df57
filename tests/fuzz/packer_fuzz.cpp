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
// extract must write those bytes; a stub that build accepts must give a
// launcher file that verify passes. Anything else aborts.
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <lzma.h>
#include <string>
#include <vector>

#include "packer/FileIO.h"
#include "packer/FilePlatform.h"
#include "packer/OutputFile.h"
#include "packer/PackageReader.h"
#include "packer/PackageWriter.h"
#include "packer/PeImage.h"
#include "packer/SetupSignature.h"
#include "packer/Verify.h"
#include "tests/fuzz/ReferenceDecode.h"
#include "tests/fuzz/FuzzChecks.h"
#include "tests/fuzz/JsonChecker.h"

namespace {

using packer::Bytes;


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

// inspect, then verify and extract, on one file; true when verify passed.
bool CheckReaders(const Bytes& file) {
  packer::PackageInfo info;
  std::string error;
  const bool readable = packer::ReadPackageInfo(file, &info, &error);
  const std::string path = ScratchPath(".exe");
  WriteScratch(path, file);
  packer::MemorySink decoded;
  packer::VerifyReport report = packer::VerifyLauncherFile(path, &decoded);
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
  Require(readable && info.crcMatches && info.sizeSufficient &&
          info.payloadInFile && info.textInFile);
  Bytes expected;
  Require(ReferenceDecode(info.header, file.data(), file.size(), &expected));
  Require(decoded.bytes.size() == (size_t)info.header.payloadSize);
  Require(decoded.bytes == expected);
  // Read piece by piece as it was decoded, the setup program's signature is
  // what the whole program gives.
  packer::SetupSignatureReader reader(expected.size());
  reader.Take(0, expected.data(), expected.size());
  const packer::SetupSignature whole = reader.Finish();
  Require(report.setupSignature && report.setupSignature->state == whole.state &&
          report.setupSignature->detail == whole.detail &&
          report.setupSignature->signer.certificate == whole.signer.certificate);

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
  return 0;
}
