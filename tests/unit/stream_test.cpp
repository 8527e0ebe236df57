// SPDX-License-Identifier: 0BSD
// TStream: capacity steps, positions past either end, refused requests.
#include <gtest/gtest.h>

#include <cstring>

#include "extract/NoRTLStream.h"
#include "tests/unit/FakePlatform.h"

namespace {

class StreamTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetFake(); }

  // A stream holding `count` bytes 0, 1, 2, ... with Position at the end.
  static void Fill(TStream& stream, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
      uint8_t byte = (uint8_t)i;
      ASSERT_EQ(stream.Write(&byte, 1), 1);
    }
  }
};

TEST_F(StreamTest, NewStreamIsEmpty) {
  TStream stream;
  uint8_t byte = 0x5A;
  EXPECT_EQ(stream.GetSize(), 0);
  EXPECT_EQ(stream.Read(&byte, 1), 0);
  EXPECT_EQ(byte, 0x5A);
  EXPECT_EQ(stream.Memory, nullptr);
  EXPECT_EQ(stream.Capacity, 0);
}

TEST_F(StreamTest, SetSizeRoundsCapacityUpToTheStep) {
  const struct { int32_t size, capacity; } cases[] = {
      {1, 131072}, {131072, 131072}, {131073, 262144}, {400000, 524288}};
  for (const auto& c : cases) {
    TStream stream;
    stream.SetSize(c.size);
    EXPECT_EQ(stream.Capacity, c.capacity) << c.size;
    EXPECT_EQ(stream.Size, c.size);
    EXPECT_NE(stream.Memory, nullptr);
  }
}

TEST_F(StreamTest, SetSizeToTheCurrentSizeAsksForExactlyThat) {
  TStream stream;
  Fill(stream, 10);
  ASSERT_EQ(stream.Capacity, 131072);
  stream.SetSize(10);
  EXPECT_EQ(stream.Capacity, 10);
  uint8_t byte = 10;
  EXPECT_EQ(stream.Write(&byte, 1), 1);
  EXPECT_EQ(stream.Capacity, 131072);
  for (int i = 0; i < 11; ++i) EXPECT_EQ(stream.Memory[i], i);
}

TEST_F(StreamTest, GrowthKeepsContentsAndReallocatesOnlyPastCapacity) {
  TStream stream;
  Fill(stream, 1000);
  const int allocationsBefore = Fake().allocations;
  Fill(stream, 1000);  // still inside the first block
  EXPECT_EQ(Fake().allocations, allocationsBefore);
  std::vector<uint8_t> big(131072, 0xEE);
  EXPECT_EQ(stream.Write(big.data(), (int32_t)big.size()), 131072);
  EXPECT_EQ(stream.Capacity, 262144);
  EXPECT_EQ(stream.Size, 2000 + 131072);
  EXPECT_EQ(stream.Memory[999], (uint8_t)999);
  EXPECT_EQ(stream.Memory[2000], 0xEE);
}

TEST_F(StreamTest, SetSizeZeroFreesTheBlock) {
  TStream stream;
  const int live = Fake().liveAllocations;
  Fill(stream, 10);
  stream.SetSize(0);
  EXPECT_EQ(stream.Memory, nullptr);
  EXPECT_EQ(stream.Capacity, 0);
  EXPECT_EQ(stream.Position, 0);
  EXPECT_EQ(Fake().liveAllocations, live);
  stream.Seek(-3, FromBeginning);
  stream.SetSize(0);
  EXPECT_EQ(stream.Position, -3);  // only a position past the end is pulled in
}

TEST_F(StreamTest, SetSizeBelowPositionPullsPositionIn) {
  TStream stream;
  Fill(stream, 10);
  stream.SetSize(4);
  EXPECT_EQ(stream.Position, 4);
  stream.Seek(1, FromBeginning);
  stream.SetSize(8);
  EXPECT_EQ(stream.Position, 1);
}

TEST_F(StreamTest, ReadStopsAtTheEnd) {
  TStream stream;
  Fill(stream, 10);
  uint8_t buffer[16];
  std::memset(buffer, 0xAB, sizeof buffer);
  EXPECT_EQ(stream.Read(buffer, 4), 0);  // Position == Size
  EXPECT_EQ(buffer[0], 0xAB);

  stream.Seek(7, FromBeginning);
  EXPECT_EQ(stream.Read(buffer, 16), 3);
  EXPECT_EQ(stream.Position, 10);
  EXPECT_EQ(buffer[0], 7);
  EXPECT_EQ(buffer[2], 9);
  EXPECT_EQ(buffer[3], 0xAB);

  stream.Seek(20, FromBeginning);
  EXPECT_EQ(stream.Read(buffer, 4), 0);
  EXPECT_EQ(stream.Position, 20);
}

TEST_F(StreamTest, SeekMovesWithoutClamping) {
  TStream stream;
  Fill(stream, 10);
  EXPECT_EQ(stream.Seek(-4, FromEnd), 6);
  EXPECT_EQ(stream.Seek(-10, FromCurrent), -4);
  EXPECT_EQ(stream.Seek(100, FromBeginning), 100);
  EXPECT_EQ(stream.Seek(5, 3), 100);
  EXPECT_EQ(stream.Seek(5, 255), 100);
  EXPECT_EQ(stream.Size, 10);
}

TEST_F(StreamTest, GetSizeLeavesPositionAlone) {
  TStream stream;
  Fill(stream, 10);
  for (int32_t position : {-5, 0, 3, 10, 50}) {
    stream.Seek(position, FromBeginning);
    EXPECT_EQ(stream.GetSize(), 10);
    EXPECT_EQ(stream.Position, position);
  }
}

TEST_F(StreamTest, WriteAfterSeekFromEndAppends) {
  TStream stream;
  Fill(stream, 10);
  stream.Seek(0, FromBeginning);
  stream.Seek(0, FromEnd);
  const uint8_t tail[3] = {0xA0, 0xA1, 0xA2};
  EXPECT_EQ(stream.Write(tail, 3), 3);
  EXPECT_EQ(stream.Size, 13);
  EXPECT_EQ(stream.Position, 13);
  EXPECT_EQ(stream.Memory[9], 9);
  EXPECT_EQ(stream.Memory[12], 0xA2);
}

TEST_F(StreamTest, WriteBeyondTheEndLeavesAGap) {
  TStream stream;
  Fill(stream, 10);
  stream.Seek(200000, FromBeginning);
  const uint8_t tail[2] = {1, 2};
  EXPECT_EQ(stream.Write(tail, 2), 2);
  EXPECT_EQ(stream.Size, 200002);
  EXPECT_EQ(stream.Capacity, 262144);
  EXPECT_EQ(stream.Memory[9], 9);
  EXPECT_EQ(stream.Memory[200001], 2);
}

TEST_F(StreamTest, RefusedWritesChangeNothing) {
  TStream stream;
  Fill(stream, 10);
  const uint8_t* memory = stream.Memory;
  const uint8_t byte = 0x77;
  const struct { int32_t position, count; } cases[] = {
      {5, -1},               // negative count
      {-1, 1},               // negative position
      {INT32_MAX - 1, 4},    // the end would pass what 32 bits can say
      {INT32_MAX, INT32_MAX},
  };
  for (const auto& c : cases) {
    stream.Seek(c.position, FromBeginning);
    EXPECT_EQ(stream.Write(&byte, c.count), 0) << c.position;
    EXPECT_EQ(stream.Position, c.position);
    EXPECT_EQ(stream.Size, 10);
    EXPECT_EQ(stream.Capacity, 131072);
    EXPECT_EQ(stream.Memory, memory);
  }
  stream.Seek(0, FromBeginning);
  uint8_t buffer[4] = {};
  EXPECT_EQ(stream.Read(buffer, -1), 0);
  EXPECT_EQ(stream.Position, 0);
}

TEST_F(StreamTest, NegativeSizesKeepTheStreamInsideItsBlock) {
  // What a negative request means is open; the stream must stay usable and
  // never claim more bytes than its block holds.
  for (bool viaCapacity : {false, true}) {
    TStream stream;
    Fill(stream, 10);
    if (viaCapacity) stream.SetCapacity(-1);
    else stream.SetSize(-1);
    EXPECT_GE(stream.Size, 0);
    EXPECT_LE(stream.Size, stream.Capacity);
    EXPECT_EQ(stream.Memory == nullptr, stream.Capacity == 0);
    std::vector<uint8_t> out((size_t)stream.Size + 1);
    stream.Seek(0, FromBeginning);
    EXPECT_EQ(stream.Read(out.data(), stream.Size), stream.Size);
    stream.Seek(0, FromEnd);
    const uint8_t byte = 0x42;
    EXPECT_EQ(stream.Write(&byte, 1), 1);
    EXPECT_EQ(stream.Memory[stream.Size - 1], 0x42);
  }
}

TEST_F(StreamTest, DestructionFreesTheBlock) {
  const int live = Fake().liveAllocations;
  {
    TStream stream;
    stream.SetSize(300000);
  }
  EXPECT_EQ(Fake().liveAllocations, live);
}

}  // namespace
