// SPDX-License-Identifier: 0BSD
// Turns a launcher stub and a setup program into a launcher file.
//
// The file is the stub's bytes, then the package: the 74-byte header, the
// raw LZMA1 block, the refusal text (UTF-16LE) and any extra vendor bytes.
// The CRC region covers the header, the block, the text and the extra bytes
// meant to be inside it; the locator at byte 128 is written last.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/StubTypes.h"
#include "packer/Branding.h"
#include "packer/ByteSink.h"
#include "packer/ByteSource.h"

namespace packer {

using Bytes = std::vector<uint8_t>;

struct LzmaSettings {
  uint32_t preset = 6;
  uint32_t lc = 3;
  uint32_t lp = 0;
  uint32_t pb = 2;
  // 0: the preset's dictionary, shrunk to the setup program's size (never
  // below 4 KiB) since a larger one only costs the launcher memory. An
  // explicit size is used as it is, even when larger than the program.
  uint32_t dictionarySize = 0;
};

// A compressed block supplied as it is, for tests and tools that must craft
// streams the encoder would never write.
struct PrecompressedPayload {
  Bytes block;
  uint8_t properties[5];
  int32_t payloadSize;
};

struct PackageOptions {
  uint64_t supportFlags = 0x8000000000000F80ull;  // 7, 8, 8.1, 10, 11, unknown
  uint16_t win10MinCode = 1507;
  uint16_t win10MaxCode = 9999;
  uint16_t win11MinCode = 2110;
  uint16_t win11MaxCode = 9999;
  uint8_t adminMode = 2;
  std::u16string unsupportedText =
      u"This setup program cannot run on %USER%.  Please check the system "
      u"requirements of the product.";
  bool detached = false;
  LzmaSettings lzma;
  Bytes extraInsideCrc;  // after the text, covered by the CRC-32
  Bytes extraAfterCrc;   // after that, part of the package, not covered
  std::optional<PrecompressedPayload> precompressed;
  // Icon and version information set in the stub before the package goes
  // behind it; none given keeps the stub's resources as they are.
  BrandingOptions branding;
  // Called with (bytes of the setup program read, its size) while
  // compressing, from the thread that reads.
  std::function<void(uint64_t, uint64_t)> progress;
  // header byte 26: kLaunchWithoutProgressWindow, or 0.
  uint8_t launchFlags = 0;
  // Threads that compress a file set's blocks; the bytes never depend on it.
  uint32_t threads = 1;
  // Bytes kept free below 4 GiB for the signature the file will get
  // (kSignatureRoom when it is to be signed).
  uint64_t signatureRoom = 0;
};

// Windows starts no .exe of 4 GiB or more ("not a valid Win32
// application"): the limit of a setup program and of a set's .exe entry.
const uint64_t kMaxProgramSize = 0xFFFFFFFFull;
// What a launcher file to be signed leaves free below 4 GiB for its
// certificate table: Windows loads no image file of 4 GiB or more, and
// Authenticode cannot sign a file whose table would start there. A
// signature with its certificate chain and timestamps takes tens of KiB.
const uint64_t kSignatureRoom = 1u << 20;

// The largest launcher file `options` allow: below 4 GiB, less the room
// for a signature.
uint64_t MaxLauncherFileSize(const PackageOptions& options);
// The one line for a launcher file that would exceed that.
std::string TooLargeMessage(const PackageOptions& options);

struct BuildResult {
  bool ok = false;
  std::string error;  // one line, when !ok
  Bytes file;
};

// Checks that `stub` can carry a package: a PE image whose PE header starts
// at byte 152 or later and whose bytes 128-151 are free. Empty when fine.
std::string CheckStub(const Bytes& stub);

// Settings liblzma's LZMA1 encoder and the launcher's decoder both accept:
// preset 0-9, lc/lp/pb 0-4 with lc + lp <= 4, dictionary 0 (automatic) or
// 4 KiB to 1536 MiB. Empty when fine.
std::string CheckLzmaSettings(const LzmaSettings& settings);

// The checks of `options` that do not depend on the package's form: the
// refusal text's length and the Windows 10 and 11 code ranges. Empty when
// fine.
std::string CheckPackageOptions(const PackageOptions& options);

// Copies the fields of `options` that both forms' headers carry alike (the
// release gate, the admin mode, the launch flags) into `header`.
void SetSharedHeaderFields(const PackageOptions& options, PackageHeader* header);

// The dictionary size CompressPayload uses for `settings` on `inputSize`
// bytes (an automatic one is the preset's, shrunk to the input). False with
// `error` set for settings CheckLzmaSettings refuses.
bool EffectiveDictionary(const LzmaSettings& settings, uint64_t inputSize,
                         uint32_t* dictionary, std::string* error);

// Receives the compressed block piece by piece; false stops compression.
using BlockConsumer = std::function<bool(const uint8_t*, size_t)>;

// Raw LZMA1 compression with an end marker (the block the launcher decodes),
// of `setup` read a piece at a time; `progress` gets the bytes read so far.
// Returns false with `error` set when liblzma refuses the settings or the
// setup program cannot be read whole, or with `error` empty when `consume`
// stopped it.
bool CompressPayload(ByteSource& setup, const LzmaSettings& settings,
                     const BlockConsumer& consume, uint8_t properties[5],
                     std::string* error,
                     const std::function<void(uint64_t, uint64_t)>& progress =
                         nullptr);

// Writes the launcher file to `out` as it is made: the setup program is read
// in pieces and its compressed block goes straight to `out`, so neither is
// ever held whole. Returns "" or a one-line reason. The result is
// deterministic: the same inputs give the same bytes. Its length is a
// multiple of 8 (zero bytes after the package, inside the file size the
// locator records) and its PE CheckSum is up to date: signing tools then add
// nothing before the certificate table, and removing the signature gives
// this file back exactly.
std::string BuildLauncherFile(const Bytes& stub, ByteSource& setup,
                              const PackageOptions& options, ByteSink& out);
// The same, from and into memory.
BuildResult BuildLauncherFile(const Bytes& stub, const Bytes& setup,
                              const PackageOptions& options);

// The pieces every form of launcher file is made of, for the writers of
// each form.

// Where the package lies in the finished file.
struct PackageExtent {
  uint64_t packageOffset;
  uint64_t crcEnd;    // the CRC region is [packageOffset, crcEnd)
  uint64_t fileSize;  // the package's end, padded (PaddedFileSize)
  bool detached;
};

// The file size for a package ending at `packageEnd`: zero bytes up to a
// multiple of 8, where Authenticode puts its certificate table.
uint64_t PaddedFileSize(uint64_t packageEnd);

// `text` as the UTF-16LE bytes the launcher reads.
Bytes TextBytes(const std::u16string& text);

// Brands a copy of the stub (`image`) and appends it to `out`. "" or a
// one-line reason.
std::string AppendLauncherImage(const Bytes& stub, const BrandingOptions& branding,
                                ByteSink& out, Bytes* image);

// Reads the whole written file back once for the CRC-32 of the package
// region and the PE checksum, and writes the locator and the checksum
// field: the last writes of every launcher file.
std::string WriteLocatorAndChecksum(const Bytes& image, const PackageExtent& extent,
                                    ByteSink& out);

// Encodes UTF-8 as UTF-16; false on malformed input.
bool Utf8ToUtf16(const std::string& utf8, std::u16string* utf16);
std::string Utf16ToUtf8(const std::u16string& utf16);

}  // namespace packer
