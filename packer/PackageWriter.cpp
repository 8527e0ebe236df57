// SPDX-License-Identifier: 0BSD
// Building launcher files: stub check, compression, layout, checksum.
#include "packer/PackageWriter.h"

#include <algorithm>
#include <cstring>
#include <lzma.h>

#include "core/CRC32.h"
#include "packer/PeImage.h"

namespace packer {
namespace {

const uint32_t kOffsetLimit = 0x7FFFFFFFu;
// Authenticode pads to 8 bytes before the certificate table.
const uint64_t kFileAlignment = 8;
// liblzma's encoder limits.
const uint32_t kMinDictionary = 4096;
const uint32_t kMaxDictionary = 1536u << 20;
const size_t kEncodeChunk = 1 << 20;

}  // namespace

std::string CheckStub(const Bytes& stub) {
  PeLayout layout;
  std::string problem;
  if (!ReadPeLayout(stub, &layout, &problem)) return "the stub is " + problem;
  if (layout.peOffset < kPackageLocatorEnd)
    return "the stub's PE header starts at byte " +
           std::to_string(layout.peOffset) +
           ", inside the package locator (bytes 128-151); it must start at "
           "152 or later";
  PackageLocator locator;
  std::memcpy(&locator, stub.data() + kPackageLocatorOffset, sizeof(locator));
  if (locator.packageOffset >= kPackageLocatorEnd &&
      (uint64_t)locator.packageOffset + sizeof(PackageHeader) <= stub.size())
    return "the stub already carries a package (it is a launcher file); give "
           "the bare stub, Stub64.exe, that it was built from";
  for (uint32_t i = kPackageLocatorOffset; i < kPackageLocatorEnd; ++i)
    if (stub[i] != 0)
      return "the stub's bytes 128-151 are in use; the package locator "
             "needs them";
  // A certificate table sits at the end of the file; a package appended
  // behind it would break the signature and hide the package from tools.
  if (layout.certificateOffset != 0 || layout.certificateSize != 0)
    return "the stub is already signed; sign the finished launcher file "
           "instead";
  if (stub.size() > kOffsetLimit)
    return "the stub is 2 GiB or larger";
  problem = CheckLoadableImage(stub, stub.size());
  if (!problem.empty())
    return "Windows would refuse to load the stub: " + problem;
  // verify refuses a launcher file whose resources are damaged; refuse
  // such a stub before building one.
  const BrandingInfo resources = ReadBranding(stub);
  if (!resources.readable || !resources.problem.empty())
    return "the stub's resource section is damaged: " + resources.problem;
  return "";
}

std::string CheckLzmaSettings(const LzmaSettings& settings) {
  if (settings.preset > 9)
    return "LZMA preset " + std::to_string(settings.preset) +
           " is out of range (0-9)";
  if (settings.lc > 4 || settings.lp > 4 || settings.pb > 4)
    return "LZMA lc, lp and pb must each be 0-4 (got lc " +
           std::to_string(settings.lc) + ", lp " + std::to_string(settings.lp) +
           ", pb " + std::to_string(settings.pb) + ")";
  if (settings.lc + settings.lp > 4)
    return "LZMA lc + lp must not exceed 4 (got " +
           std::to_string(settings.lc) + " + " + std::to_string(settings.lp) +
           "): the launcher's liblzma refuses such packages as damaged";
  if (settings.dictionarySize != 0 &&
      (settings.dictionarySize < kMinDictionary ||
       settings.dictionarySize > kMaxDictionary))
    return "LZMA dictionary size " + std::to_string(settings.dictionarySize) +
           " is out of range (4 KiB to 1536 MiB)";
  return "";
}

namespace {

// liblzma's options for `settings`; a dictionary left automatic is the
// preset's, but no larger than the setup program (its size, not its bytes).
bool EncoderOptions(const LzmaSettings& settings, uint64_t setupSize,
                    lzma_options_lzma* options, std::string* error) {
  *error = CheckLzmaSettings(settings);
  if (!error->empty()) return false;
  if (lzma_lzma_preset(options, settings.preset)) {
    *error = "unsupported LZMA preset " + std::to_string(settings.preset);
    return false;
  }
  options->lc = settings.lc;
  options->lp = settings.lp;
  options->pb = settings.pb;
  if (settings.dictionarySize != 0)
    options->dict_size = settings.dictionarySize;
  else if (setupSize < options->dict_size)
    options->dict_size = setupSize < kMinDictionary ? kMinDictionary : (uint32_t)setupSize;
  return true;
}

void PropertyBytes(const lzma_options_lzma& options, uint8_t properties[5]) {
  properties[0] = (uint8_t)((options.pb * 5 + options.lp) * 9 + options.lc);
  for (int i = 0; i < 4; ++i) properties[1 + i] = (uint8_t)(options.dict_size >> (8 * i));
}

}  // namespace

bool EffectiveDictionary(const LzmaSettings& settings, uint64_t inputSize,
                         uint32_t* dictionary, std::string* error) {
  lzma_options_lzma options;
  if (!EncoderOptions(settings, inputSize, &options, error)) return false;
  *dictionary = options.dict_size;
  return true;
}

bool CompressPayload(ByteSource& setup, const LzmaSettings& settings,
                     const BlockConsumer& consume, uint8_t properties[5],
                     std::string* error,
                     const std::function<void(uint64_t, uint64_t)>& progress) {
  lzma_options_lzma options;
  if (!EncoderOptions(settings, setup.Size(), &options, error)) return false;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options},
                            {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream stream = LZMA_STREAM_INIT;
  lzma_ret ret = lzma_raw_encoder(&stream, filters);
  if (ret != LZMA_OK) {
    *error = "liblzma refused the LZMA settings (lc " +
             std::to_string(settings.lc) + ", lp " +
             std::to_string(settings.lp) + ", pb " +
             std::to_string(settings.pb) + ")";
    return false;
  }

  // One piece of the setup program in, whatever the encoder makes of it
  // out; the output's size and the encoder's never depend on the input's.
  Bytes chunk(kEncodeChunk);
  uint64_t read = 0;
  bool ended = false;
  for (;;) {
    if (stream.avail_in == 0 && !ended) {
      size_t piece;
      if (!setup.Next(&stream.next_in, &piece)) {
        lzma_end(&stream);
        *error = setup.error;
        return false;
      }
      stream.avail_in = piece;
      read += piece;
      ended = piece == 0;
      if (progress && piece) progress(read, setup.Size());
    }
    stream.next_out = chunk.data();
    stream.avail_out = chunk.size();
    ret = lzma_code(&stream, ended ? LZMA_FINISH : LZMA_RUN);
    const size_t produced = chunk.size() - stream.avail_out;
    if (produced && !consume(chunk.data(), produced)) {
      lzma_end(&stream);
      *error = "";  // the consumer said why
      return false;
    }
    if (ret == LZMA_STREAM_END) break;
    if (ret != LZMA_OK) {
      lzma_end(&stream);
      *error = "compression failed (liblzma error " + std::to_string(ret) + ")";
      return false;
    }
  }
  lzma_end(&stream);
  PropertyBytes(options, properties);
  return true;
}

void SetSharedHeaderFields(const PackageOptions& options, PackageHeader* header) {
  header->supportFlags = options.supportFlags;
  header->win10MinCode = options.win10MinCode;
  header->win10MaxCode = options.win10MaxCode;
  header->win11MinCode = options.win11MinCode;
  header->win11MaxCode = options.win11MaxCode;
  header->adminMode = options.adminMode;
  header->launchFlags = options.launchFlags;
}

std::string CheckPackageOptions(const PackageOptions& options) {
  if (options.unsupportedText.size() > 0xFFFF)
    return "the unsupported-release text is " +
           std::to_string(options.unsupportedText.size()) +
           " UTF-16 units long; at most 65535 fit";
  if (options.win10MinCode > options.win10MaxCode)
    return "the Windows 10 code range " + std::to_string(options.win10MinCode) +
           "-" + std::to_string(options.win10MaxCode) +
           " is empty (its minimum exceeds its maximum)";
  if (options.win11MinCode > options.win11MaxCode)
    return "the Windows 11 code range " + std::to_string(options.win11MinCode) +
           "-" + std::to_string(options.win11MaxCode) +
           " is empty (its minimum exceeds its maximum)";
  return "";
}

uint64_t MaxLauncherFileSize(const PackageOptions& options) {
  return 0xFFFFFFFFull - options.signatureRoom;
}

std::string TooLargeMessage(const PackageOptions& options) {
  return "the launcher file would reach 4 GiB" +
         std::string(options.signatureRoom ? " less 1 MiB kept for its signature" : "") +
         "; Windows loads no larger image: pack fewer or more compressible bytes";
}

uint64_t PaddedFileSize(uint64_t packageEnd) {
  return (packageEnd + kFileAlignment - 1) / kFileAlignment * kFileAlignment;
}

Bytes TextBytes(const std::u16string& text) {
  Bytes bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t unit : text) {
    bytes.push_back((uint8_t)(unit & 0xFF));
    bytes.push_back((uint8_t)(unit >> 8));
  }
  return bytes;
}

std::string AppendLauncherImage(const Bytes& stub, const BrandingOptions& branding,
                                ByteSink& out, Bytes* image) {
  *image = stub;
  std::string error;
  if (!ApplyBranding(*image, branding, &error)) return error;
  if (!out.Append(image->data(), image->size())) return out.error;
  return "";
}

std::string WriteLocatorAndChecksum(const Bytes& image, const PackageExtent& extent,
                                    ByteSink& out) {
  PeLayout pe;
  std::string unused;
  const bool isPe = ReadPeLayout(image, &pe, &unused);
  PeChecksum checksum(isPe ? pe.checksumOffset : 0);
  uint32_t crc = 0;
  Bytes chunk(kEncodeChunk);
  for (uint64_t at = 0; at < extent.fileSize; at += chunk.size()) {
    const size_t piece = (size_t)std::min<uint64_t>(chunk.size(), extent.fileSize - at);
    if (!out.ReadAt(at, chunk.data(), piece)) return out.error;
    checksum.Add(at, chunk.data(), piece);
    if (at + piece > extent.packageOffset && at < extent.crcEnd) {
      const uint64_t from = std::max(at, extent.packageOffset);
      const uint64_t to = std::min(at + piece, extent.crcEnd);
      crc = UpdateCrc32(crc, chunk.data() + (from - at), to - from);
    }
  }
  PackageLocator locator = {};
  locator.packageOffset = (uint32_t)extent.packageOffset;
  locator.crcLength = (uint32_t)(extent.crcEnd - extent.packageOffset);
  locator.crcValue = crc;
  locator.expectedFileSize = (int64_t)extent.fileSize;
  locator.detachedFileSize = extent.detached ? (uint32_t)extent.fileSize : 0;
  if (!out.WriteAt(kPackageLocatorOffset, (const uint8_t*)&locator, sizeof(locator)))
    return out.error;
  if (!isPe) return "";
  // Signing tools and Windows then see an image whose checksum matches.
  checksum.Add(kPackageLocatorOffset, (const uint8_t*)&locator, sizeof(locator));
  uint8_t field[4];
  const uint32_t value = checksum.Finish(extent.fileSize);
  for (int i = 0; i < 4; ++i) field[i] = (uint8_t)(value >> (8 * i));
  if (!out.WriteAt(pe.checksumOffset, field, 4)) return out.error;
  return "";
}

namespace {

// Where the parts of the file go, filled in as the steps learn them.
struct Layout {
  uint64_t packageOffset = 0;
  uint64_t payloadOffset = 0;
  uint64_t blockSize = 0;
  uint64_t textOffset = 0;
  uint64_t crcEnd = 0;
  uint64_t packageEnd = 0;
  uint64_t fileSize = 0;
};

std::string CheckBuildInputs(const Bytes& stub, const ByteSource& setup,
                             const PackageOptions& options) {
  std::string problem = CheckStub(stub);
  if (problem.empty()) problem = CheckPackageOptions(options);
  if (!problem.empty()) return problem;
  if (!options.precompressed && setup.Size() > kOffsetLimit)
    return "the setup program is " + std::to_string(setup.Size()) +
           " bytes; it must be smaller than 2 GiB";
  return "";
}

// Writes one launcher file to `out` in order: the branded image and a blank
// header, the block, the tail (text, extras, padding); then the header, the
// locator and the PE checksum, which need the sizes.
class LauncherWriter {
 public:
  LauncherWriter(const PackageOptions& options, ByteSink& out) : options_(options), out_(out) {}

  std::string WriteImage(const Bytes& stub) {
    std::string error = AppendLauncherImage(stub, options_.branding, out_, &image_);
    if (!error.empty()) return error;
    layout_.packageOffset = image_.size();
    layout_.payloadOffset = layout_.packageOffset + sizeof(PackageHeader);
    const PackageHeader blank = {};
    if (!out_.Append((const uint8_t*)&blank, sizeof(blank))) return out_.error;
    return "";
  }

  std::string WriteBlock(ByteSource& setup) {
    if (options_.precompressed) return WritePrecompressedBlock();
    std::string error, sinkError;
    const auto consume = [&](const uint8_t* data, size_t size) {
      layout_.blockSize += size;
      sinkError = TooLarge(layout_.blockSize);
      if (sinkError.empty() && !out_.Append(data, size)) sinkError = out_.error;
      return sinkError.empty();
    };
    if (!CompressPayload(setup, options_.lzma, consume, header_.lzmaProperties, &error,
                         options_.progress))
      return sinkError.empty() ? error : sinkError;
    header_.payloadSize = (int32_t)setup.Size();
    return "";
  }

  std::string WriteTail() {
    layout_.textOffset = layout_.payloadOffset + layout_.blockSize;
    layout_.crcEnd = layout_.textOffset + options_.unsupportedText.size() * 2 +
                     options_.extraInsideCrc.size();
    layout_.packageEnd = layout_.crcEnd + options_.extraAfterCrc.size();
    layout_.fileSize = PaddedFileSize(layout_.packageEnd);
    const uint8_t padding[kFileAlignment] = {};
    const Bytes text = TextBytes(options_.unsupportedText);
    if (!out_.Append(text.data(), text.size()) ||
        !out_.Append(options_.extraInsideCrc.data(), options_.extraInsideCrc.size()) ||
        !out_.Append(options_.extraAfterCrc.data(), options_.extraAfterCrc.size()) ||
        !out_.Append(padding, (size_t)(layout_.fileSize - layout_.packageEnd)))
      return out_.error;
    return "";
  }

  std::string WriteHeader() {
    SetSharedHeaderFields(options_, &header_);
    header_.payloadOffset = (uint32_t)layout_.payloadOffset;
    header_.payloadPackedSize = (uint32_t)layout_.blockSize;
    header_.unsupportedText.textOffset = (uint32_t)layout_.textOffset;
    header_.unsupportedText.textLength = (uint16_t)options_.unsupportedText.size();
    if (!out_.WriteAt(layout_.packageOffset, (const uint8_t*)&header_, sizeof(header_)))
      return out_.error;
    return "";
  }

  std::string WriteLocatorAndChecksum() {
    return packer::WriteLocatorAndChecksum(
        image_, {layout_.packageOffset, layout_.crcEnd, layout_.fileSize, options_.detached},
        out_);
  }

 private:
  std::string WritePrecompressedBlock() {
    const PrecompressedPayload& payload = *options_.precompressed;
    std::memcpy(header_.lzmaProperties, payload.properties, 5);
    header_.payloadSize = payload.payloadSize;
    layout_.blockSize = payload.block.size();
    std::string problem = TooLarge(layout_.blockSize);
    if (!problem.empty()) return problem;
    if (!out_.Append(payload.block.data(), payload.block.size())) return out_.error;
    return "";
  }

  // With a block of `blockSize` bytes, "" or why the file cannot be.
  std::string TooLarge(uint64_t blockSize) const {
    const uint64_t insideTail =
        options_.unsupportedText.size() * 2 + options_.extraInsideCrc.size();
    const uint64_t afterTail = options_.extraAfterCrc.size() + kFileAlignment - 1;
    const uint64_t crcEnd = layout_.payloadOffset + blockSize + insideTail;
    if (crcEnd <= kOffsetLimit && crcEnd + afterTail <= MaxLauncherFileSize(options_)) return "";
    return "the launcher file would be " + std::to_string(crcEnd + afterTail) +
           " bytes or more; its offsets must stay below 2 GiB";
  }

  const PackageOptions& options_;
  ByteSink& out_;
  Bytes image_;
  Layout layout_;
  PackageHeader header_ = {};
};

}  // namespace

std::string BuildLauncherFile(const Bytes& stub, ByteSource& setup,
                              const PackageOptions& options, ByteSink& out) {
  std::string problem = CheckBuildInputs(stub, setup, options);
  if (!problem.empty()) return problem;
  LauncherWriter writer(options, out);
  problem = writer.WriteImage(stub);
  if (problem.empty()) problem = writer.WriteBlock(setup);
  if (problem.empty()) problem = writer.WriteTail();
  if (problem.empty()) problem = writer.WriteHeader();
  if (problem.empty()) problem = writer.WriteLocatorAndChecksum();
  return problem;
}

BuildResult BuildLauncherFile(const Bytes& stub, const Bytes& setup,
                              const PackageOptions& options) {
  BuildResult result;
  MemorySource source(setup);
  MemorySink sink;
  result.error = BuildLauncherFile(stub, source, options, sink);
  result.ok = result.error.empty();
  if (result.ok) result.file = std::move(sink.bytes);
  return result;
}

bool Utf8ToUtf16(const std::string& utf8, std::u16string* utf16) {
  utf16->clear();
  size_t i = 0;
  while (i < utf8.size()) {
    uint8_t lead = (uint8_t)utf8[i];
    uint32_t code;
    size_t extra;
    if (lead < 0x80) { code = lead; extra = 0; }
    else if ((lead & 0xE0) == 0xC0) { code = lead & 0x1F; extra = 1; }
    else if ((lead & 0xF0) == 0xE0) { code = lead & 0x0F; extra = 2; }
    else if ((lead & 0xF8) == 0xF0) { code = lead & 0x07; extra = 3; }
    else return false;
    if (i + extra >= utf8.size() && extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      uint8_t next = (uint8_t)utf8[i + k];
      if ((next & 0xC0) != 0x80) return false;
      code = code << 6 | (next & 0x3F);
    }
    static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[extra] || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF))
      return false;
    if (code >= 0x10000) {
      code -= 0x10000;
      utf16->push_back((char16_t)(0xD800 + (code >> 10)));
      utf16->push_back((char16_t)(0xDC00 + (code & 0x3FF)));
    } else {
      utf16->push_back((char16_t)code);
    }
    i += extra + 1;
  }
  return true;
}

std::string Utf16ToUtf8(const std::u16string& utf16) {
  std::string out;
  for (size_t i = 0; i < utf16.size(); ++i) {
    uint32_t code = utf16[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < utf16.size() &&
        utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (utf16[++i] - 0xDC00);
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;  // a lone surrogate cannot be said in UTF-8
    }
    if (code < 0x80) {
      out += (char)code;
    } else if (code < 0x800) {
      out += (char)(0xC0 | code >> 6);
      out += (char)(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += (char)(0xE0 | code >> 12);
      out += (char)(0x80 | ((code >> 6) & 0x3F));
      out += (char)(0x80 | (code & 0x3F));
    } else {
      out += (char)(0xF0 | code >> 18);
      out += (char)(0x80 | ((code >> 12) & 0x3F));
      out += (char)(0x80 | ((code >> 6) & 0x3F));
      out += (char)(0x80 | (code & 0x3F));
    }
  }
  return out;
}

}  // namespace packer
