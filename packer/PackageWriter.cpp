// Building launcher files: stub check, compression, layout, checksum.
#include "packer/PackageWriter.h"

#include <cstring>
#include <lzma.h>

#include "core/CRC32.h"
#include "packer/PeImage.h"

namespace packer {
namespace {

const uint32_t kOffsetLimit = 0x7FFFFFFFu;
// liblzma's encoder limits.
const uint32_t kMinDictionary = 4096;
const uint32_t kMaxDictionary = 1536u << 20;
const size_t kEncodeChunk = 1 << 20;

void Append(Bytes& out, const void* data, size_t size) {
  const uint8_t* bytes = (const uint8_t*)data;
  out.insert(out.end(), bytes, bytes + size);
}

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

bool CompressPayload(const Bytes& setup, const LzmaSettings& settings,
                     Bytes* block, uint8_t properties[5], std::string* error,
                     const std::function<void(uint64_t, uint64_t)>& progress) {
  std::string problem = CheckLzmaSettings(settings);
  if (!problem.empty()) {
    *error = problem;
    return false;
  }
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, settings.preset)) {
    *error = "unsupported LZMA preset " + std::to_string(settings.preset);
    return false;
  }
  options.lc = settings.lc;
  options.lp = settings.lp;
  options.pb = settings.pb;
  if (settings.dictionarySize != 0) {
    options.dict_size = settings.dictionarySize;
  } else if (setup.size() < options.dict_size) {
    options.dict_size = setup.size() < 4096 ? 4096 : (uint32_t)setup.size();
  }
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

  block->clear();
  Bytes chunk(kEncodeChunk);
  size_t fed = 0;
  for (;;) {
    if (stream.avail_in == 0 && fed < setup.size()) {
      size_t piece = std::min(kEncodeChunk, setup.size() - fed);
      stream.next_in = setup.data() + fed;
      stream.avail_in = piece;
      fed += piece;
    }
    stream.next_out = chunk.data();
    stream.avail_out = chunk.size();
    lzma_action action = fed == setup.size() ? LZMA_FINISH : LZMA_RUN;
    ret = lzma_code(&stream, action);
    block->insert(block->end(), chunk.data(),
                  chunk.data() + (chunk.size() - stream.avail_out));
    if (progress) progress(stream.total_in, setup.size());
    if (ret == LZMA_STREAM_END) break;
    if (ret != LZMA_OK) {
      lzma_end(&stream);
      *error = "compression failed (liblzma error " + std::to_string(ret) + ")";
      return false;
    }
  }
  lzma_end(&stream);

  properties[0] = (uint8_t)((options.pb * 5 + options.lp) * 9 + options.lc);
  for (int i = 0; i < 4; ++i)
    properties[1 + i] = (uint8_t)(options.dict_size >> (8 * i));
  return true;
}

BuildResult BuildLauncherFile(const Bytes& stub, const Bytes& setup,
                              const PackageOptions& options) {
  BuildResult result;
  auto fail = [&result](const std::string& message) {
    result.error = message;
    return result;
  };

  std::string stubProblem = CheckStub(stub);
  if (!stubProblem.empty()) return fail(stubProblem);
  if (options.unsupportedText.size() > 0xFFFF)
    return fail("the unsupported-release text is " +
                std::to_string(options.unsupportedText.size()) +
                " UTF-16 units long; at most 65535 fit");

  if (options.win10MinCode > options.win10MaxCode)
    return fail("the Windows 10 code range " +
                std::to_string(options.win10MinCode) + "-" +
                std::to_string(options.win10MaxCode) +
                " is empty (its minimum exceeds its maximum)");
  if (options.win11MinCode > options.win11MaxCode)
    return fail("the Windows 11 code range " +
                std::to_string(options.win11MinCode) + "-" +
                std::to_string(options.win11MaxCode) +
                " is empty (its minimum exceeds its maximum)");

  PackageHeader header = {};
  Bytes block;
  if (options.precompressed) {
    block = options.precompressed->block;
    std::memcpy(header.lzmaProperties, options.precompressed->properties, 5);
    header.payloadSize = options.precompressed->payloadSize;
  } else {
    if (setup.size() > kOffsetLimit)
      return fail("the setup program is " + std::to_string(setup.size()) +
                  " bytes; it must be smaller than 2 GiB");
    std::string error;
    if (!CompressPayload(setup, options.lzma, &block, header.lzmaProperties,
                         &error, options.progress))
      return fail(error);
    header.payloadSize = (int32_t)setup.size();
  }

  const uint64_t packageOffset = stub.size();
  const uint64_t payloadOffset = packageOffset + sizeof(PackageHeader);
  const uint64_t textOffset = payloadOffset + block.size();
  const uint64_t textBytes = options.unsupportedText.size() * 2;
  const uint64_t crcEnd = textOffset + textBytes + options.extraInsideCrc.size();
  const uint64_t fileSize = crcEnd + options.extraAfterCrc.size();
  if (crcEnd > kOffsetLimit || fileSize > 0xFFFFFFFFull)
    return fail("the launcher file would be " + std::to_string(fileSize) +
                " bytes; its offsets must stay below 2 GiB");

  header.supportFlags = options.supportFlags;
  header.win10MinCode = options.win10MinCode;
  header.win10MaxCode = options.win10MaxCode;
  header.win11MinCode = options.win11MinCode;
  header.win11MaxCode = options.win11MaxCode;
  header.adminMode = options.adminMode;
  header.payloadOffset = (uint32_t)payloadOffset;
  header.payloadPackedSize = (uint32_t)block.size();
  header.unsupportedText.textOffset = (uint32_t)textOffset;
  header.unsupportedText.textLength = (uint16_t)options.unsupportedText.size();

  Bytes& file = result.file;
  file.reserve(fileSize);
  file = stub;
  Append(file, &header, sizeof(header));
  Append(file, block.data(), block.size());
  for (char16_t unit : options.unsupportedText) {
    file.push_back((uint8_t)(unit & 0xFF));
    file.push_back((uint8_t)(unit >> 8));
  }
  Append(file, options.extraInsideCrc.data(), options.extraInsideCrc.size());
  Append(file, options.extraAfterCrc.data(), options.extraAfterCrc.size());

  PackageLocator locator = {};
  locator.packageOffset = (uint32_t)packageOffset;
  locator.crcLength = (uint32_t)(crcEnd - packageOffset);
  locator.crcValue = ComputeCrc32(file.data() + packageOffset,
                                  (int32_t)locator.crcLength);
  locator.expectedFileSize = (int64_t)fileSize;
  locator.detachedFileSize = options.detached ? (uint32_t)fileSize : 0;
  std::memcpy(file.data() + kPackageLocatorOffset, &locator, sizeof(locator));

  // Last, since it sums every byte: signing tools and Windows then see an
  // image whose checksum matches.
  PeLayout layout;
  std::string unused;
  if (ReadPeLayout(file, &layout, &unused))
    UpdatePeChecksum(file, layout.checksumOffset);

  result.ok = true;
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
