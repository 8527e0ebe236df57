// SPDX-License-Identifier: 0BSD
// Host decode throughput: the launcher's DecompressPayload beside plain
// liblzma raw LZMA1 decoding of the same block, alternated per round so that
// noise from other jobs on the machine hits both alike. A third variant,
// plain liblzma into a freshly allocated buffer, shows how much of the gap is
// the first touch of new memory rather than the launcher's own work.
//
// Usage: decode_bench LAUNCHER_FILE [ROUNDS] [SETUP_FILE]
// Prints "key value" lines; SETUP_FILE, when given, must equal the output.
#include <lzma.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "bench/HostBench.h"
#include "bench/MemoryPlatform.h"
#include "core/StubTypes.h"
#include "extract/Decompress.h"
#include "extract/NoRTLStream.h"

namespace {

// Takes the decoded pieces where the launcher writes them to its copy.
void KeepPiece(void* context, const uint8_t* data, uint32_t count) {
  std::vector<uint8_t>* keep = (std::vector<uint8_t>*)context;
  if (keep) keep->insert(keep->end(), data, data + count);
}

// Everything the launcher does between knowing the header and having handed
// on the decoded program, piece by piece; the pieces go nowhere unless kept.
double RunLauncherPath(MemoryFile* file, const PackageHeader& header,
                       std::vector<uint8_t>* keep) {
  file->position = 0;
  double start = Now();
  PayloadStreams streams = CreatePayloadStreams(MemoryFileHandle(file), header);
  LzmaOutcome outcome = DecompressPayload(MemoryFileHandle(file), header, streams,
                                          LzmaOutput{KeepPiece, keep});
  delete streams.output;
  delete streams.input;
  double elapsed = Now() - start;
  if (outcome != LzmaOutcome::Accepted) {
    fprintf(stderr, "decode_bench: the launcher refused the payload\n");
    exit(1);
  }
  return elapsed;
}

// The floor: one lzma_code call over the block held in memory, into a buffer
// allocated and touched before timing starts.
double RunPlain(const uint8_t* block, size_t blockSize, const uint8_t props[5],
                uint8_t* output, size_t outputSize) {
  double start = Now();
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_properties_decode(&filters[0], nullptr, props, 5) != LZMA_OK) {
    fprintf(stderr, "decode_bench: liblzma refused the properties\n");
    exit(1);
  }
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_raw_decoder(&stream, filters) != LZMA_OK) {
    fprintf(stderr, "decode_bench: lzma_raw_decoder failed\n");
    exit(1);
  }
  stream.next_in = block;
  stream.avail_in = blockSize;
  stream.next_out = output;
  stream.avail_out = outputSize;
  lzma_ret ret = lzma_code(&stream, LZMA_RUN);
  size_t written = outputSize - stream.avail_out;
  lzma_end(&stream);
  free(filters[0].options);
  double elapsed = Now() - start;
  if ((ret != LZMA_OK && ret != LZMA_STREAM_END) || written != outputSize) {
    fprintf(stderr, "decode_bench: plain decode gave %d after %zu bytes\n", (int)ret, written);
    exit(1);
  }
  return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: decode_bench LAUNCHER_FILE [ROUNDS] [SETUP_FILE]\n");
    return 1;
  }
  int rounds = argc > 2 ? atoi(argv[2]) : 7;
  if (rounds < 1) rounds = 1;
  std::vector<uint8_t> image = ReadWholeFile(argv[1]);
  MemoryFile file = {image.data(), image.size(), 0};

  PackageLocator locator;
  PackageHeader header;
  if (image.size() < kPackageLocatorEnd) { fprintf(stderr, "decode_bench: file too short\n"); return 1; }
  memcpy(&locator, image.data() + kPackageLocatorOffset, sizeof(locator));
  if ((uint64_t)locator.packageOffset + sizeof(header) > image.size()) {
    fprintf(stderr, "decode_bench: no package header\n");
    return 1;
  }
  memcpy(&header, image.data() + locator.packageOffset, sizeof(header));
  const uint8_t* block = image.data() + header.payloadOffset;
  size_t blockSize = header.payloadPackedSize;
  size_t outputSize = (size_t)header.payloadSize;
  if ((uint64_t)header.payloadOffset + blockSize > image.size() || header.payloadSize <= 0) {
    fprintf(stderr, "decode_bench: payload block outside the file\n");
    return 1;
  }

  std::vector<uint8_t> plainOutput(outputSize, 1);  // touched: no page faults in the timing
  std::vector<uint8_t> launcherOutput;
  // Warm-up round of each, which also proves both produce the same bytes.
  RunLauncherPath(&file, header, &launcherOutput);
  RunPlain(block, blockSize, header.lzmaProperties, plainOutput.data(), outputSize);
  if (launcherOutput != plainOutput) {
    fprintf(stderr, "decode_bench: the two decoders disagree\n");
    return 1;
  }
  if (argc > 3 && ReadWholeFile(argv[3]) != plainOutput) {
    fprintf(stderr, "decode_bench: decoded bytes differ from %s\n", argv[3]);
    return 1;
  }
  launcherOutput.clear();
  launcherOutput.shrink_to_fit();

  std::vector<double> launcherTimes, plainTimes, freshTimes, ratios, launcherCpu, plainCpu;
  for (int r = 0; r < rounds; ++r) {
    double l = 0, p = 0, f = 0;
    // Every other round runs the variants backwards.
    for (int k = 0; k < 3; ++k) {
      switch (r % 2 ? 2 - k : k) {
        case 0: {
          double cpu = ThreadCpu();
          l = RunLauncherPath(&file, header, nullptr);
          launcherCpu.push_back(ThreadCpu() - cpu);
          break;
        }
        case 1: {
          double cpu = ThreadCpu();
          p = RunPlain(block, blockSize, header.lzmaProperties, plainOutput.data(), outputSize);
          plainCpu.push_back(ThreadCpu() - cpu);
          break;
        }
        case 2: {
          uint8_t* fresh = (uint8_t*)malloc(outputSize);
          if (!fresh) { fprintf(stderr, "decode_bench: out of memory\n"); return 1; }
          double start = Now();
          RunPlain(block, blockSize, header.lzmaProperties, fresh, outputSize);
          f = Now() - start;
          free(fresh);
          break;
        }
      }
    }
    launcherTimes.push_back(l);
    plainTimes.push_back(p);
    freshTimes.push_back(f);
    ratios.push_back(l / p);
    printf("round %d launcher_ms %.1f plain_ms %.1f ratio %.3f plain_fresh_ms %.1f\n", r + 1,
           l * 1e3, p * 1e3, l / p, f * 1e3);
  }
  double lm = Median(launcherTimes), pm = Median(plainTimes), fm = Median(freshTimes);
  printf("decoded_bytes %zu\n", outputSize);
  printf("packed_bytes %zu\n", blockSize);
  printf("rounds %d\n", rounds);
  printf("launcher_ms_median %.1f\n", lm * 1e3);
  printf("plain_ms_median %.1f\n", pm * 1e3);
  printf("launcher_mb_s %.1f\n", outputSize / lm / 1e6);
  printf("plain_mb_s %.1f\n", outputSize / pm / 1e6);
  printf("plain_fresh_ms_median %.1f\n", fm * 1e3);
  printf("plain_fresh_mb_s %.1f\n", outputSize / fm / 1e6);
  printf("ratio_of_medians %.3f\n", lm / pm);
  printf("launcher_vs_fresh %.3f\n", lm / fm);
  printf("launcher_cpu_ms_median %.1f\n", Median(launcherCpu) * 1e3);
  printf("plain_cpu_ms_median %.1f\n", Median(plainCpu) * 1e3);
  printf("cpu_ratio_of_medians %.3f\n", Median(launcherCpu) / Median(plainCpu));
  printf("median_of_ratios %.3f\n", Median(ratios));
  return 0;
}
