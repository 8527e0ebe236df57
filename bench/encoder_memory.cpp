// SPDX-License-Identifier: 0BSD
// liblzma's own figure for the memory of the raw LZMA1 encoder that
// `stubpack build` runs, for the benchmark's bound on stubpack's memory.
//
// Usage: encoder_memory PRESET DICTIONARY_BYTES   (lc 3, lp 0, pb 2)
// Prints the bytes lzma_raw_encoder_memusage gives.
#include <lzma.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: encoder_memory PRESET DICTIONARY_BYTES\n");
    return 2;
  }
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, (uint32_t)strtoul(argv[1], nullptr, 10))) {
    fprintf(stderr, "encoder_memory: unknown preset %s\n", argv[1]);
    return 2;
  }
  options.dict_size = (uint32_t)strtoul(argv[2], nullptr, 10);
  options.lc = 3;
  options.lp = 0;
  options.pb = 2;
  const lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  const uint64_t bytes = lzma_raw_encoder_memusage(filters);
  if (bytes == UINT64_MAX) {
    fprintf(stderr, "encoder_memory: liblzma refuses these settings\n");
    return 1;
  }
  printf("%llu\n", (unsigned long long)bytes);
  return 0;
}
