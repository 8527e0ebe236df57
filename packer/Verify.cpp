// SPDX-License-Identifier: 0BSD
// verify: the launcher's checks, by the launcher's code, in its order.
#include "packer/Verify.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <optional>
#include <utility>

#include "core/CRC32.h"
#include "core/FailureReport.h"
#include "core/FatalErrors.h"
#include "core/Memory.h"
#include "core/OwnFile.h"
#include "core/StubCore.h"
#include "extract/Decompress.h"
#include "packer/Branding.h"
#include "packer/FilePlatform.h"
#include "packer/Options.h"
#include "packer/PackageReader.h"
#include "packer/PackageWriter.h"
#include "packer/PeImage.h"
#include "packer/SetupSignature.h"
#include "packer/Threads.h"
#include "packer/VerifyFileSet.h"
#include "packer/VerifySteps.h"

namespace packer {
namespace {

struct DecodedSetup {
  uint32_t crc;
  ByteSink* out;  // may be null
  bool writeFailed;
  SetupSignatureReader* signature;
  uint64_t size;  // decoded so far
  uint64_t total;
  const std::function<void(uint64_t, uint64_t)>* progress;
};

void TakeDecodedPiece(void* context, const uint8_t* data, uint32_t count) {
  DecodedSetup* decoded = (DecodedSetup*)context;
  decoded->crc = UpdateCrc32(decoded->crc, data, count);
  decoded->signature->Take(decoded->size, data, count);
  decoded->size += count;
  if (*decoded->progress) (*decoded->progress)(decoded->size, decoded->total);
  if (decoded->out && !decoded->writeFailed)
    decoded->writeFailed = !decoded->out->Append(data, count);
}

bool OpenFile(VerifyRun& run) {
  std::u16string widePath;
  if (!Utf8ToUtf16(run.path, &widePath)) {
    run.report.failure = "the path " + run.path + " is not valid UTF-8";
    return false;
  }
  SetFilePlatformModulePath(widePath);
  run.file = PlatformOpenForReading(widePath.c_str());
  if (run.file == PLATFORM_INVALID_HANDLE) {
    run.report.failure = "cannot open " + run.path;
    return false;
  }
  run.fileSize = PlatformGetFileSize(run.file);
  return true;
}

// Windows refuses to start a file its loader rejects; the launcher's
// checks never run then.
bool CheckImage(VerifyRun& run) {
  run.head.resize((size_t)std::min<uint64_t>(run.fileSize, kLoaderHeadBytes));
  PlatformSeek(run.file, 0);
  run.head.resize(PlatformRead(run.file, run.head.data(), (uint32_t)run.head.size()));
  const std::string imageProblem = CheckLoadableImage(run.head, run.fileSize);
  if (!imageProblem.empty()) {
    run.report.lines.push_back(VerifyLine("image", "FAILED"));
    run.report.lines.push_back("outcome: Windows refuses to start it (not a valid "
                               "Win32 application, error 193)");
    run.report.failure = run.path + ": image check fails; Windows refuses to start it: " +
                         imageProblem;
    return false;
  }
  run.report.lines.push_back(VerifyLine("image", "ok: Windows can load it"));
  return true;
}

// The launcher's first four steps, which fill its locator and header.
bool CheckPackage(VerifyRun& run) {
  StepResult result = RunStep([&] { ReadPackageLocator(run.file); });
  if (!result.ok) return Failed(run, "locator", result);
  const PackageLocator& locator = gPackageLocator;
  run.report.lines.push_back(
      VerifyLine("locator", "ok: package at " + std::to_string(locator.packageOffset)));

  result = RunStep([&] { CheckPackageSize(run.file); });
  if (!result.ok) return Failed(run, "file size", result);
  run.report.lines.push_back(VerifyLine(
      "file size",
      "ok: " + std::to_string(run.fileSize) + " bytes, at least " +
          (locator.detachedFileSize
               ? std::to_string(locator.detachedFileSize) + " (detached mode)"
               : std::to_string(locator.expectedFileSize) + " (attached mode)")));

  result = RunStep([&] { VerifyPackageChecksum(run.file); });
  if (!result.ok) return Failed(run, "checksum", result);
  run.report.lines.push_back(VerifyLine(
      "checksum", "ok: CRC-32 " + Hex32(locator.crcValue) + " over " +
                      std::to_string(locator.crcLength) + " bytes"));

  result = RunStep([&] { ReadPackageHeader(run.file); });
  if (!result.ok) return Failed(run, "header", result);
  run.report.lines.push_back(VerifyLine("header", "ok"));
  return true;
}

// The gate's verdict depends on the machine it runs on; what the package
// decides it from is reported instead.
void ReportGate(VerifyRun& run) {
  const PackageHeader& header = gPackageHeader;
  std::string releases;
  for (const std::string& name : ReleaseNames(header.supportFlags))
    releases += (releases.empty() ? "" : ", ") + name;
  run.report.lines.push_back(VerifyLine(
      "gate", "not judged here; supports " +
                  (releases.empty() ? std::string("no release") : releases) +
                  "; Windows 10 codes " + std::to_string(header.win10MinCode) + "-" +
                  std::to_string(header.win10MaxCode) + ", Windows 11 codes " +
                  std::to_string(header.win11MinCode) + "-" +
                  std::to_string(header.win11MaxCode)));
}

// The gate's refusal path is exercised for real: a text the launcher
// cannot read would turn every refusal into the damaged-package message.
bool CheckRefusalText(VerifyRun& run) {
  const PackageHeader& header = gPackageHeader;
  CapturedMessages().clear();
  try {
    FatalPackageText(run.file, header.unsupportedText, WideText());
  } catch (const PlatformExit&) {
  } catch (const std::bad_alloc&) {
  }
  ReleaseFilePlatformAllocations();
  if (CapturedMessages().empty() ||
      CapturedMessages().back().text == kPackageDamagedText) {
    StepResult refusal = {false,
                          "shows the damaged-package message and ends with "
                          "exit code " + std::to_string(kExitPackageInvalid) +
                          " (" + EventNote(kEventPackageDamaged) +
                          ") on unsupported releases, instead of its refusal "
                          "text"};
    return Failed(run, "refusal text", refusal);
  }
  // The box ends its text at a NUL: whatever follows never shows.
  const PackageTextRef& text = header.unsupportedText;
  std::u16string refusal(text.textLength, u'\0');
  if (text.textLength &&
      !ReadAt(run.file, text.textOffset, &refusal[0], 2u * text.textLength))
    refusal.clear();
  const size_t nul = refusal.find(u'\0');
  if (nul != std::u16string::npos) {
    StepResult cut = {false, "shows only the first " + std::to_string(nul) + " of the " +
                                 std::to_string(text.textLength) +
                                 " UTF-16 units of its refusal text: a NUL follows"};
    return Failed(run, "refusal text", cut);
  }
  run.report.lines.push_back(VerifyLine(
      "refusal text", "ok: " + std::to_string(text.textLength) + " UTF-16 units, readable"));
  return true;
}

// The launcher's own streaming decode: memory does not grow with the
// setup program, which goes a piece at a time into its CRC-32 and, for
// extract, to `setup`.
bool DecodeProgram(VerifyRun& run, ByteSink* setup, uint32_t* crc) {
  const PackageHeader& header = gPackageHeader;
  const int32_t payloadSize = header.payloadSize;  // packed: no reference to it
  const uint64_t programSize = payloadSize > 0 ? (uint64_t)payloadSize : 0;
  SetupSignatureReader signature(programSize);
  DecodedSetup decoded = {0, setup, false, &signature, 0, programSize, &run.progress};
  const StepResult result = RunStep([&] {
    PayloadStreams streams = CreatePayloadStreams(run.file, header);
    LzmaOutcome outcome = DecompressPayload(
        run.file, header, streams, LzmaOutput{TakeDecodedPiece, &decoded});
    if (outcome == LzmaOutcome::OutOfMemory) OutOfMemory();
    if (outcome != LzmaOutcome::Accepted) FatalPackageDamaged();
    delete streams.output;
    delete streams.input;
  });
  if (!result.ok) return Failed(run, "payload", result);
  run.report.setupSignature = signature.Finish();
  if (decoded.writeFailed) {
    run.Close();
    run.report.failure = setup->error;
    return false;
  }
  *crc = decoded.crc;
  return true;
}

// Not a launcher check, but what Explorer and the elevation prompt read:
// the resources of the image before the package.
bool CheckResources(VerifyRun& run) {
  const PackageLocator& locator = gPackageLocator;
  std::vector<uint8_t> image(locator.packageOffset);
  const bool imageRead =
      PlatformSeek(run.file, 0) &&
      PlatformRead(run.file, image.data(), (uint32_t)image.size()) == image.size();
  run.Close();
  const BrandingInfo brand = ReadBranding(image);
  if (!imageRead || !brand.readable || !brand.problem.empty()) {
    const std::string problem = brand.problem.empty() ? "unreadable" : brand.problem;
    run.report.lines.push_back(VerifyLine("resources", "FAILED: " + TerminalText(problem)));
    run.report.failure = run.path + ": the resource section is damaged (" +
                         TerminalText(problem) +
                         "); Windows may show no icon or version information";
    return false;
  }
  run.report.lines.push_back(VerifyLine(
      "resources",
      "ok: " + std::to_string(brand.resourceCount) + " resources; icon " +
          (brand.hasIcon ? std::to_string(brand.icons.size()) + " images" : std::string("none")) +
          "; version " +
          (brand.hasVersion ? brand.version.fileVersion.Text() : std::string("none")) +
          (brand.hasManifest ? "; manifest" : "; no manifest")));
  return true;
}

// The certificate table, as Windows judges its form before any
// certificate: a broken one makes the file count as unsigned. The signer of
// a well-formed one goes to `signer`, to be compared with the setup
// program's.
bool CheckSignature(VerifyRun& run, std::optional<Signer>* signer) {
  const PackageLocator& locator = gPackageLocator;
  PeLayout layout;
  std::string problem;
  if (!ReadPeLayout(run.head, &layout, &problem)) layout = PeLayout();
  if (layout.certificateOffset == 0 && layout.certificateSize == 0) {
    run.report.lines.push_back(VerifyLine("signature", "none"));
    return true;
  }
  const uint64_t minimumSize = locator.detachedFileSize ? locator.detachedFileSize
                               : locator.expectedFileSize > 0 ? (uint64_t)locator.expectedFileSize
                                                              : 0;
  const uint64_t packageEnd =
      std::max<uint64_t>(minimumSize, (uint64_t)locator.packageOffset + locator.crcLength);
  std::ifstream file(std::filesystem::u8path(run.path), std::ios::binary);
  const FileReader read = [&](uint64_t offset, uint8_t* into, size_t size) {
    file.seekg((std::streamoff)offset);
    return (bool)file.read((char*)into, (std::streamsize)size);
  };
  problem = CheckCertificateTable(layout, packageEnd, run.fileSize, read);
  if (!problem.empty()) {
    run.report.lines.push_back(VerifyLine("signature", "FAILED: " + problem));
    run.report.failure = run.path + ": the signature block is broken (" + problem +
                         "); Windows treats the file as unsigned";
    return false;
  }
  run.report.lines.push_back(VerifyLine(
      "signature", "ok: certificate table of " + std::to_string(layout.certificateSize) +
                       " bytes behind the package, ending the file (its certificates are "
                       "not judged here)"));
  *signer = ReadTableSigner(read, layout.certificateOffset, layout.certificateSize);
  return true;
}

// The setup program's own certificate table, read from the decoded stream:
// Windows judges the setup program when it asks for elevation.
bool CheckSetupSignature(VerifyRun& run, const std::string& step,
                         const std::optional<Signer>& launcher) {
  const SetupSignature& setup = *run.report.setupSignature;
  run.report.lines.push_back(
      VerifyLine(step, DescribeSetupSignature(setup, launcher ? &*launcher : nullptr)));
  if (setup.state != SignatureState::Broken) return true;
  run.report.failure = run.path + ": the " + (step == "entry" ? "entry's" : "setup program's") +
                       " signature block is broken (" + setup.detail +
                       "); Windows treats the " + (step == "entry" ? "entry" : "setup program") +
                       " as unsigned";
  return false;
}

// `kept`: what the launcher writes ("copy", "files"); `whose`: whose exit
// code it passes on ("the setup program's").
std::string ModeOutcome(const std::string& kept, const std::string& whose) {
  return gPackageLocator.detachedFileSize
             ? " (detached: no wait, " + kept + " kept, exit code 0 once started)"
             : " (attached: waits, deletes the " + kept + ", ends with " + whose +
                   " exit code)";
}

// One program: its decode, then what Windows reads, then the program's
// own signature.
bool VerifyProgram(VerifyRun& run, ByteSink* setup) {
  const PackageHeader& header = gPackageHeader;
  uint32_t crc = 0;
  std::optional<Signer> launcherSigner;
  if (!DecodeProgram(run, setup, &crc) || !CheckResources(run) ||
      !CheckSignature(run, &launcherSigner))
    return false;
  run.report.lines.push_back(VerifyLine(
      "payload", "ok: " + std::to_string(header.payloadSize) + " bytes decoded from " +
                     std::to_string(header.payloadPackedSize) + ", CRC-32 " + Hex32(crc)));
  if (!CheckSetupSignature(run, "setup program", launcherSigner)) return false;
  run.report.lines.push_back(
      "outcome: the launcher writes the temporary copy and starts the setup program" +
      ModeOutcome("copy", "the setup program's") + "; admin mode " +
      AdminModeName(header.adminMode));
  return true;
}

// A file set: its table and blocks, then what Windows reads, then the
// entry's own signature when it is a program.
bool VerifyFileSet(VerifyRun& run, SetSink* files) {
  std::optional<Signer> launcherSigner;
  if (!VerifyFileSetContents(run, files) || !CheckResources(run) ||
      !CheckSignature(run, &launcherSigner))
    return false;
  ReportFileSet(run);
  if (run.report.setupSignature && !CheckSetupSignature(run, "entry", launcherSigner))
    return false;
  const bool program = run.set.entryIsProgram;
  run.report.lines.push_back(
      "outcome: the launcher writes the set's " + std::to_string(run.set.files) +
      (run.set.files == 1 ? " file" : " files") + " into its private folder and starts " +
      (program ? "the entry " + run.set.entry +
                     (run.set.takesLauncherName ? " under the launcher's own file name" : "")
               : "msiexec.exe /i on the entry " + run.set.entry) +
      ModeOutcome("files", program ? "the entry's" : "msiexec's") +
      "; admin mode " + AdminModeName(gPackageHeader.adminMode));
  return true;
}

}  // namespace

VerifyReport VerifyLauncherFile(const std::string& path, ByteSink* setup,
                                const std::function<void(uint64_t, uint64_t)>& progress,
                                SetSink* files, uint32_t threads) {
  VerifyRun run(path);
  run.progress = progress;
  run.threads = threads ? threads : ProcessorCount();
  if (!OpenFile(run) || !CheckImage(run) || !CheckPackage(run)) return std::move(run.report);
  ReportGate(run);
  if (!CheckRefusalText(run)) return std::move(run.report);
  const bool fileSet = gPackageHeader.packageForm == kFileSetForm;
  if (fileSet ? setup != nullptr : files != nullptr) {
    run.report.failure = path + (fileSet ? " carries a file set: extract writes its files into "
                                           "a folder"
                                         : " carries one setup program, not a file set");
    return std::move(run.report);
  }
  run.report.ok = fileSet ? VerifyFileSet(run, files) : VerifyProgram(run, setup);
  return std::move(run.report);
}

}  // namespace packer
