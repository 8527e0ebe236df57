// SPDX-License-Identifier: 0BSD
// Plain liblzma decode of a launcher file's block, for the fuzz targets.
#include "tests/fuzz/ReferenceDecode.h"

#include <lzma.h>

#include <algorithm>
#include <cstring>

bool ReferenceDecode(const PackageHeader& header, const uint8_t* file,
                     size_t fileSize, std::vector<uint8_t>* out) {
  uint64_t end = (uint64_t)header.payloadOffset + header.payloadPackedSize;
  if (end > fileSize || header.payloadSize < 0) return false;
  out->assign((size_t)header.payloadSize, 0);
  if (header.payloadSize == 0) return true;
  lzma_options_lzma options = {};
  const uint8_t first = header.lzmaProperties[0];
  options.lc = first % 9;
  options.lp = (first / 9) % 5;
  options.pb = first / 45;
  uint32_t dictionary;
  std::memcpy(&dictionary, header.lzmaProperties + 1, 4);
  options.dict_size = std::min<uint32_t>(dictionary, (uint32_t)header.payloadSize);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_raw_decoder(&stream, filters) != LZMA_OK) return false;
  stream.next_in = file + header.payloadOffset;
  stream.avail_in = header.payloadPackedSize;
  stream.next_out = out->data();
  stream.avail_out = out->size();
  lzma_ret result = lzma_code(&stream, LZMA_RUN);
  (void)result;  // only the amount decoded matters here
  bool complete = stream.avail_out == 0;
  lzma_end(&stream);
  return complete;
}
