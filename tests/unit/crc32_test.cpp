// SPDX-License-Identifier: 0BSD
// CRC-32 check values and the table's defining entries.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/CRC32.h"

namespace {

struct CrcCase {
  const char* text;
  uint32_t expected;
};

TEST(Crc32, KnownValues) {
  const CrcCase cases[] = {
      {"123456789", 0xCBF43926u},
      {"a", 0xE8B7BE43u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
  };
  for (const CrcCase& c : cases) {
    EXPECT_EQ(ComputeCrc32((const uint8_t*)c.text, (int32_t)std::strlen(c.text)),
              c.expected)
        << c.text;
  }
}

TEST(Crc32, TableEntriesShowThroughSingleBytes) {
  // For one byte b, the CRC is ~(table[~b & 0xFF] ^ 0x00FFFFFF).
  auto entry = [](uint8_t index) {
    uint8_t byte = (uint8_t)~index;
    return ~ComputeCrc32(&byte, 1) ^ 0x00FFFFFFu;
  };
  EXPECT_EQ(entry(1), 0x77073096u);
  EXPECT_EQ(entry(255), 0x2D02EF8Du);
}

TEST(Crc32, EmptyAndNegativeCountsGiveZero) {
  const uint8_t data[4] = {1, 2, 3, 4};
  EXPECT_EQ(ComputeCrc32(data, 0), 0u);
  EXPECT_EQ(ComputeCrc32(data, -5), 0u);
}

TEST(Crc32, UpdateInPiecesMatchesOneCall) {
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = (uint8_t)(i * 37 + 11);
  uint32_t whole = ComputeCrc32(data.data(), (int32_t)data.size());
  uint32_t pieces = UpdateCrc32(0, data.data(), 333);
  pieces = UpdateCrc32(pieces, data.data() + 333, data.size() - 333);
  EXPECT_EQ(whole, pieces);
}

}  // namespace

namespace {

// The folding path must give exactly the table's results for every length
// and alignment, including the tails it leaves to the table.
TEST(Crc32, FastPathMatchesTableOnRandomBuffers) {
  std::vector<uint8_t> data(70000);
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (uint8_t& byte : data) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    byte = (uint8_t)state;
  }
  for (int round = 0; round < 2000; ++round) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    size_t offset = state % 64;
    size_t length = round < 300 ? (size_t)round : (size_t)(state >> 20) % (data.size() - 64);
    uint32_t seed = round % 3 == 0 ? 0 : (uint32_t)(state >> 32);
    ASSERT_EQ(UpdateCrc32(seed, data.data() + offset, length),
              UpdateCrc32Bytewise(seed, data.data() + offset, length))
        << "offset " << offset << " length " << length;
  }
}

}  // namespace
