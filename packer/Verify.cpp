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

namespace packer {
namespace {

const uint32_t kOutOfMemoryExit = 203;

std::string Hex32(uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", value);
  return buffer;
}

// Which of the launcher's messages a captured box is.
std::string NameMessage(const std::u16string& text) {
  if (text == kPackageDamagedText) return "the damaged-package message";
  if (text == kPackageTruncatedText) return "the truncated-package message";
  if (text == kTempCopyFailedText) return "the temporary-copy message";
  if (text == kLaunchFailedText) return "the not-executed message";
  return "the message \"" + TerminalText(Utf16ToUtf8(text)) + "\"";
}

// What an administrator finds where no box can be shown.
std::string EventNote(uint32_t eventId) {
  return "Application-log event " + std::to_string(eventId) +
         " where no box can be shown";
}

struct StepResult {
  bool ok;
  std::string outcome;  // what the launcher would do instead, when !ok
};

// Runs one launcher step; a fatal operation inside it arrives as
// PlatformExit, with the box it would have shown already captured.
StepResult RunStep(const std::function<void()>& step) {
  CapturedMessages().clear();
  try {
    step();
    return {true, ""};
  } catch (const PlatformExit& exit) {
    ReleaseFilePlatformAllocations();
    if (exit.exitCode == kOutOfMemoryExit)
      return {false, "runs out of memory (exit code 203; " +
                         EventNote(kEventOutOfMemory) + ")"};
    if (CapturedMessages().empty())
      return {false, "ends with exit code " + std::to_string(exit.exitCode)};
    return {false, "shows " + NameMessage(CapturedMessages().back().text) +
                       " and ends with exit code " +
                       std::to_string(exit.exitCode) + " (" +
                       EventNote(CapturedMessages().back().eventId) + ")"};
  } catch (const std::bad_alloc&) {
    ReleaseFilePlatformAllocations();
    return {false, "runs out of memory (exit code 203; " +
                       EventNote(kEventOutOfMemory) + ")"};
  }
}

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

std::string Line(const std::string& step, const std::string& result) {
  return step + std::string(step.size() < 14 ? 14 - step.size() : 1, ' ') +
         result;
}

// The certificate table, as Windows judges its form before any
// certificate: a broken one makes the file count as unsigned. The signer of
// a well-formed one goes to `signer`, to be compared with the setup
// program's.
bool CheckSignature(const std::string& path, const std::vector<uint8_t>& head,
                    const PackageLocator& locator, uint64_t fileSize, VerifyReport* report,
                    std::optional<Signer>* signer) {
  PeLayout layout;
  std::string problem;
  if (!ReadPeLayout(head, &layout, &problem)) layout = PeLayout();
  if (layout.certificateOffset == 0 && layout.certificateSize == 0) {
    report->lines.push_back(Line("signature", "none"));
    return true;
  }
  const uint64_t minimumSize = locator.detachedFileSize ? locator.detachedFileSize
                               : locator.expectedFileSize > 0 ? (uint64_t)locator.expectedFileSize
                                                              : 0;
  const uint64_t packageEnd =
      std::max<uint64_t>(minimumSize, (uint64_t)locator.packageOffset + locator.crcLength);
  std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
  const FileReader read = [&](uint64_t offset, uint8_t* into, size_t size) {
    file.seekg((std::streamoff)offset);
    return (bool)file.read((char*)into, (std::streamsize)size);
  };
  problem = CheckCertificateTable(layout, packageEnd, fileSize, read);
  if (!problem.empty()) {
    report->lines.push_back(Line("signature", "FAILED: " + problem));
    report->failure = path + ": the signature block is broken (" + problem +
                      "); Windows treats the file as unsigned";
    return false;
  }
  report->lines.push_back(Line(
      "signature", "ok: certificate table of " + std::to_string(layout.certificateSize) +
                       " bytes behind the package, ending the file (its certificates are "
                       "not judged here)"));
  *signer = ReadTableSigner(read, layout.certificateOffset, layout.certificateSize);
  return true;
}

// The setup program's own certificate table, read from the decoded stream:
// Windows judges the setup program when it asks for elevation.
bool CheckSetupSignature(const std::string& path, const SetupSignature& setup,
                         const std::optional<Signer>& launcher, VerifyReport* report) {
  report->lines.push_back(
      Line("setup program", DescribeSetupSignature(setup, launcher ? &*launcher : nullptr)));
  if (setup.state != SignatureState::Broken) return true;
  report->failure = path + ": the setup program's signature block is broken (" + setup.detail +
                    "); Windows treats the setup program as unsigned";
  return false;
}

}  // namespace

VerifyReport VerifyLauncherFile(const std::string& path, ByteSink* setup,
                                const std::function<void(uint64_t, uint64_t)>& progress) {
  VerifyReport report;
  std::u16string widePath;
  if (!Utf8ToUtf16(path, &widePath)) {
    report.failure = "the path " + path + " is not valid UTF-8";
    return report;
  }
  SetFilePlatformModulePath(widePath);
  PlatformHandle file = PlatformOpenForReading(widePath.c_str());
  if (file == PLATFORM_INVALID_HANDLE) {
    report.failure = "cannot open " + path;
    return report;
  }

  auto fail = [&](const std::string& step, const StepResult& result) {
    report.lines.push_back(Line(step, "FAILED"));
    report.lines.push_back("outcome: the launcher " + result.outcome);
    report.failure = path + ": " + step + " check fails; the launcher " +
                     result.outcome;
    PlatformCloseHandle(file);
    return std::move(report);
  };

  // Windows refuses to start a file its loader rejects; the launcher's
  // checks never run then.
  std::vector<uint8_t> head(
      (size_t)std::min<uint64_t>(PlatformGetFileSize(file), kLoaderHeadBytes));
  PlatformSeek(file, 0);
  head.resize(PlatformRead(file, head.data(), (uint32_t)head.size()));
  const std::string imageProblem =
      CheckLoadableImage(head, PlatformGetFileSize(file));
  if (!imageProblem.empty()) {
    report.lines.push_back(Line("image", "FAILED"));
    report.lines.push_back("outcome: Windows refuses to start it (not a valid "
                           "Win32 application, error 193)");
    report.failure = path + ": image check fails; Windows refuses to start it: " +
                     imageProblem;
    PlatformCloseHandle(file);
    return report;
  }
  report.lines.push_back(Line("image", "ok: Windows can load it"));

  StepResult result = RunStep([&] { ReadPackageLocator(file); });
  if (!result.ok) return fail("locator", result);
  const PackageLocator& locator = gPackageLocator;
  report.lines.push_back(Line("locator", "ok: package at " +
                                             std::to_string(locator.packageOffset)));

  result = RunStep([&] { CheckPackageSize(file); });
  if (!result.ok) return fail("file size", result);
  const uint64_t fileSize = PlatformGetFileSize(file);
  report.lines.push_back(Line(
      "file size",
      "ok: " + std::to_string(fileSize) + " bytes, at least " +
          (locator.detachedFileSize
               ? std::to_string(locator.detachedFileSize) + " (detached mode)"
               : std::to_string(locator.expectedFileSize) + " (attached mode)")));

  result = RunStep([&] { VerifyPackageChecksum(file); });
  if (!result.ok) return fail("checksum", result);
  report.lines.push_back(Line("checksum", "ok: CRC-32 " + Hex32(locator.crcValue) +
                                              " over " +
                                              std::to_string(locator.crcLength) +
                                              " bytes"));

  result = RunStep([&] { ReadPackageHeader(file); });
  if (!result.ok) return fail("header", result);
  const PackageHeader& header = gPackageHeader;
  report.lines.push_back(Line("header", "ok"));

  // The gate's verdict depends on the machine it runs on; what the package
  // decides it from is reported instead. Its refusal path is exercised for
  // real, though: a text the launcher cannot read would turn every refusal
  // into the damaged-package message.
  std::vector<std::string> names = ReleaseNames(header.supportFlags);
  std::string releases;
  for (const std::string& name : names) releases += (releases.empty() ? "" : ", ") + name;
  report.lines.push_back(Line(
      "gate", "not judged here; supports " +
                  (releases.empty() ? std::string("no release") : releases) +
                  "; Windows 10 codes " + std::to_string(header.win10MinCode) +
                  "-" + std::to_string(header.win10MaxCode) +
                  ", Windows 11 codes " + std::to_string(header.win11MinCode) +
                  "-" + std::to_string(header.win11MaxCode)));
  CapturedMessages().clear();
  try {
    FatalPackageText(file, header.unsupportedText, WideText());
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
    return fail("refusal text", refusal);
  }
  // The box ends its text at a NUL: whatever follows never shows.
  const PackageTextRef& text = header.unsupportedText;
  std::u16string refusal(text.textLength, u'\0');
  if (text.textLength &&
      !ReadAt(file, text.textOffset, &refusal[0], 2u * text.textLength))
    refusal.clear();
  const size_t nul = refusal.find(u'\0');
  if (nul != std::u16string::npos) {
    StepResult cut = {false, "shows only the first " + std::to_string(nul) + " of the " +
                                 std::to_string(text.textLength) +
                                 " UTF-16 units of its refusal text: a NUL follows"};
    return fail("refusal text", cut);
  }
  report.lines.push_back(Line(
      "refusal text", "ok: " + std::to_string(text.textLength) + " UTF-16 units, readable"));

  // The launcher's own streaming decode: memory does not grow with the
  // setup program, which goes a piece at a time into its CRC-32 and, for
  // extract, to `setup`.
  const int32_t payloadSize = header.payloadSize;  // packed: no reference to it
  const uint64_t programSize = payloadSize > 0 ? (uint64_t)payloadSize : 0;
  SetupSignatureReader signature(programSize);
  DecodedSetup decoded = {0, setup, false, &signature, 0, programSize, &progress};
  result = RunStep([&] {
    PayloadStreams streams = CreatePayloadStreams(file, header);
    LzmaOutcome outcome = DecompressPayload(
        file, header, streams, LzmaOutput{TakeDecodedPiece, &decoded});
    if (outcome == LzmaOutcome::OutOfMemory) OutOfMemory();
    if (outcome != LzmaOutcome::Accepted) FatalPackageDamaged();
    delete streams.output;
    delete streams.input;
  });
  if (!result.ok) return fail("payload", result);
  report.setupSignature = signature.Finish();
  if (decoded.writeFailed) {
    PlatformCloseHandle(file);
    report.failure = setup->error;
    return report;
  }
  // Not a launcher check, but what Explorer and the elevation prompt read:
  // the resources of the image before the package.
  std::vector<uint8_t> image(locator.packageOffset);
  const bool imageRead = PlatformSeek(file, 0) &&
                         PlatformRead(file, image.data(), (uint32_t)image.size()) == image.size();
  PlatformCloseHandle(file);
  const BrandingInfo brand = ReadBranding(image);
  if (!imageRead || !brand.readable || !brand.problem.empty()) {
    const std::string problem = brand.problem.empty() ? "unreadable" : brand.problem;
    report.lines.push_back(Line("resources", "FAILED: " + TerminalText(problem)));
    report.failure = path + ": the resource section is damaged (" + TerminalText(problem) +
                     "); Windows may show no icon or version information";
    return report;
  }
  report.lines.push_back(Line(
      "resources",
      "ok: " + std::to_string(brand.resourceCount) + " resources; icon " +
          (brand.hasIcon ? std::to_string(brand.icons.size()) + " images" : std::string("none")) +
          "; version " +
          (brand.hasVersion ? brand.version.fileVersion.Text() : std::string("none")) +
          (brand.hasManifest ? "; manifest" : "; no manifest")));
  std::optional<Signer> launcherSigner;
  if (!CheckSignature(path, head, locator, fileSize, &report, &launcherSigner)) return report;
  report.lines.push_back(Line(
      "payload", "ok: " + std::to_string(header.payloadSize) +
                     " bytes decoded from " +
                     std::to_string(header.payloadPackedSize) + ", CRC-32 " +
                     Hex32(decoded.crc)));
  if (!CheckSetupSignature(path, *report.setupSignature, launcherSigner, &report)) return report;
  report.lines.push_back(
      std::string("outcome: the launcher writes the temporary copy and starts "
                  "the setup program") +
      (locator.detachedFileSize
           ? " (detached: no wait, copy kept, exit code 0 once started)"
           : " (attached: waits, deletes the copy, ends with the setup "
             "program's exit code)") +
      "; admin mode " + AdminModeName(header.adminMode));
  report.ok = true;
  return report;
}

}  // namespace packer
