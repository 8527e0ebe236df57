// SPDX-License-Identifier: 0BSD
// libFuzzer target: `stubpack build`'s own inputs. The first byte picks
// which, the rest is that input:
//   0  an .ico file for --icon;
//   1  the texts: --company, --product, --description, --copyright,
//      --original-filename and the --unsupported-text-file bytes, split at
//      0xFF bytes (never part of UTF-8);
//   2  what a sign command makes of the launcher file: two bytes moving the
//      certificate-table offset from the file's 8-aligned end, four of its
//      size, then the bytes appended there.
//
// Every refusal is one line. What build takes must come back whole: the
// icon's images from the branded launcher as inspect and verify read it,
// the texts from the version resource and the package, and a signed file
// the sign step accepts must pass verify with its signature line and show
// its table behind the package in inspect. Anything else aborts.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "packer/Branding.h"
#include "packer/FileIO.h"
#include "packer/FilePlatform.h"
#include "packer/Options.h"
#include "packer/PackageReader.h"
#include "packer/PackageWriter.h"
#include "packer/PeImage.h"
#include "packer/SignCommand.h"
#include "packer/Verify.h"
#include "tests/fuzz/FuzzChecks.h"

namespace {

using packer::Bytes;


const Bytes& Stub() {
  static const Bytes stub = [] {
    Bytes bytes;
    std::string error;
    Require(packer::ReadWholeFile(FUZZ_STUB_PATH, "stub", &bytes, &error));
    return bytes;
  }();
  return stub;
}

packer::PackageOptions FastOptions() {
  packer::PackageOptions options;
  options.lzma.preset = 0;
  options.lzma.dictionarySize = 4096;
  return options;
}

std::string ScratchPath() {
  return (std::filesystem::temp_directory_path() /
          ("build_fuzz-" + std::to_string(getpid()) + ".exe"))
      .string();
}

std::string WriteScratch(const Bytes& bytes) {
  const std::string path = ScratchPath();
  FILE* file = std::fopen(path.c_str(), "wb");
  Require(file != nullptr);
  Require(std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
  Require(std::fclose(file) == 0);
  return path;
}

// Builds, then reads back with inspect's reader and verify.
packer::PackageInfo BuildAndRead(const packer::PackageOptions& options) {
  packer::BuildResult built = packer::BuildLauncherFile(Stub(), Bytes(100, 'S'), options);
  Require(built.ok);
  packer::PackageInfo info;
  std::string error;
  Require(packer::ReadPackageInfo(built.file, &info, &error));
  Require(packer::VerifyLauncherFile(WriteScratch(built.file)).ok);
  return info;
}

void FuzzIcon(const Bytes& ico) {
  std::vector<packer::IconImage> images;
  std::string error;
  if (!packer::ParseIconFile(ico, &images, &error)) {
    Require(OneLine(error));
    return;
  }
  Require(!images.empty() && images.size() <= packer::kMaxIconImages);
  size_t total = 0;
  for (const packer::IconImage& image : images) total += image.data.size();
  Require(total <= ico.size());
  packer::PackageOptions options = FastOptions();
  options.branding.icon = images;
  const packer::BrandingInfo brand = BuildAndRead(options).branding;
  Require(brand.problem.empty() && brand.icons.size() == images.size());
  for (size_t i = 0; i < images.size(); ++i)
    Require(brand.icons[i].width == images[i].width &&
            brand.icons[i].height == images[i].height &&
            brand.icons[i].bitCount == images[i].bitCount &&
            brand.icons[i].png == images[i].png &&
            brand.icons[i].bytes == images[i].data.size());
}

void FuzzTexts(const Bytes& input) {
  std::vector<Bytes> fields(1);
  for (uint8_t byte : input) {
    if (byte == 0xFF) fields.emplace_back();
    else fields.back().push_back(byte);
  }
  packer::PackageOptions options = FastOptions();
  packer::BrandingOptions& branding = options.branding;
  std::optional<std::u16string>* texts[] = {&branding.company, &branding.product,
                                            &branding.description, &branding.copyright,
                                            &branding.originalFilename};
  for (size_t i = 0; i < 5 && i < fields.size(); ++i) {
    std::u16string text;
    // What the command line refuses first, malformed UTF-8 and an empty
    // text, and a NUL, which no argument can hold.
    if (packer::Utf8ToUtf16(std::string(fields[i].begin(), fields[i].end()), &text) &&
        !text.empty() && text.find(u'\0') == std::u16string::npos)
      *texts[i] = text;
  }
  std::string error;
  if (fields.size() > 5) {
    std::u16string text;
    if (!packer::DecodeTextFile(fields[5], &text, &error) ||
        !packer::CheckRefusalText(text, &error)) {
      Require(OneLine(error));
      return;
    }
    options.unsupportedText = text;
  }
  const packer::VersionInfo expected = packer::BrandedVersionInfo(branding);
  Bytes encoded;
  if (branding.Any() && !packer::EncodeVersionResource(expected, &encoded, &error)) {
    Require(OneLine(error));
    return;
  }
  const packer::PackageInfo info = BuildAndRead(options);
  Require(info.textInFile && info.text == options.unsupportedText);
  if (!branding.Any()) return;
  const packer::BrandingInfo& brand = info.branding;
  Require(brand.problem.empty() && brand.hasVersion && brand.version.tables.size() == 1);
  Require(brand.version.tables[0].strings == expected.tables[0].strings);
}

const Bytes& UnsignedLauncher() {
  static const Bytes file = packer::BuildLauncherFile(Stub(), Bytes(100, 'S'), FastOptions()).file;
  return file;
}

void FuzzSignedFile(const Bytes& input) {
  if (input.size() < 6) return;
  const Bytes& unsignedFile = UnsignedLauncher();
  packer::PeLayout layout;
  std::string error;
  Require(packer::ReadPeLayout(unsignedFile, &layout, &error) && layout.hasSecurityDirectory);
  Bytes signedFile = unsignedFile;
  signedFile.resize((signedFile.size() + 7) / 8 * 8, 0);
  const int16_t shift = (int16_t)(input[0] | input[1] << 8);
  const uint32_t offset = (uint32_t)((int64_t)signedFile.size() + shift);
  signedFile.insert(signedFile.end(), input.begin() + 6, input.end());
  std::memcpy(signedFile.data() + layout.securityDirectoryOffset, &offset, 4);
  std::memcpy(signedFile.data() + layout.securityDirectoryOffset + 4, input.data() + 2, 4);
  const std::string path = WriteScratch(signedFile);
  if (!packer::CheckSignedFile(packer::ViewOf(unsignedFile), packer::ViewOf(signedFile), path,
                               &error)) {
    Require(OneLine(error));
    return;
  }
  const packer::VerifyReport report = packer::VerifyLauncherFile(path);
  Require(report.ok);
  bool signatureOk = false;
  for (const std::string& line : report.lines)
    signatureOk = signatureOk || line.rfind("signature     ok:", 0) == 0;
  Require(signatureOk);
  packer::PackageInfo info;
  Require(packer::ReadPackageInfo(signedFile, &info, &error));
  Require(info.signed_ && info.signatureInFile && info.signatureAfterPackage);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SetFilePlatformAllocationLimit(256u << 20);
  if (size == 0) return 0;
  const Bytes input(data + 1, data + size);
  switch (data[0] % 3) {
    case 0: FuzzIcon(input); break;
    case 1: FuzzTexts(input); break;
    default: FuzzSignedFile(input); break;
  }
  return 0;
}
