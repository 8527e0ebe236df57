// SPDX-License-Identifier: 0BSD
// The decompression driver against crafted raw LZMA1 blocks.
//
// Which payload sizes must be accepted depends on where symbols end inside a
// block, which liblzma does not tell. SymbolTrace walks a block the way
// liblzma's decoder does (the range coder normalises before every bit) and
// records, for every symbol, the output size it completes and the input it
// needed; the expectations below are computed from that record, not from the
// launcher's decoder.
#include <gtest/gtest.h>

#include <lzma.h>

#include <cstring>
#include <functional>

#include "core/CRC32.h"
#include "core/FatalErrors.h"
#include "core/StubCore.h"
#include "extract/Decompress.h"
#include "extract/LzmaDecoder.h"
#include "extract/LzmaProperties.h"
#include "extract/TemporaryCopy.h"
#include "tests/unit/TestPackages.h"

namespace {

using namespace testpkg;

struct Settings {
  uint32_t lc = 3, lp = 0, pb = 2;
  uint32_t dictionarySize = 1 << 16;
};

// Raw LZMA1 as liblzma writes it; LZMA1EXT without its flag omits the end
// marker.
Bytes Encode(const Bytes& data, bool endMarker, const Settings& s = {}) {
  lzma_options_lzma options;
  EXPECT_FALSE(lzma_lzma_preset(&options, 6));
  options.lc = s.lc;
  options.lp = s.lp;
  options.pb = s.pb;
  options.dict_size = s.dictionarySize;
  options.ext_flags = endMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options},
                            {LZMA_VLI_UNKNOWN, nullptr}};
  Bytes block(data.size() + data.size() / 2 + 1024);
  size_t written = 0;
  EXPECT_EQ(lzma_raw_buffer_encode(filters, nullptr, data.data(), data.size(),
                                   block.data(), &written, block.size()),
            LZMA_OK);
  block.resize(written);
  return block;
}

void PropertyBytes(const Settings& s, uint8_t bytes[5]) {
  bytes[0] = (uint8_t)((s.pb * 5 + s.lp) * 9 + s.lc);
  for (int i = 0; i < 4; ++i) bytes[1 + i] = (uint8_t)(s.dictionarySize >> (8 * i));
}

Bytes RandomBytes(size_t size, uint32_t seed) {
  Bytes bytes(size);
  uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  for (uint8_t& b : bytes) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    b = (uint8_t)(state >> 24);
  }
  return bytes;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// --- An independent walk over the symbols of a block ------------------------

struct TracedSymbol {
  size_t outputEnd;    // decoded bytes once the symbol is complete
  size_t inputBefore;  // input read once its first bit could be decoded
  size_t inputAfter;   // input read after its last bit
  bool codeWasZero;    // the range coder stood at a possible end before it
  bool endMarker;
};

class SymbolTrace {
 public:
  SymbolTrace(const Bytes& block, const Settings& s, size_t dataSize)
      : in_(block), lc_(s.lc), lp_(s.lp), pb_(s.pb),
        literal_((size_t)0x300 << (s.lc + s.lp), 1024) {
    for (uint16_t* p : {&isMatch_[0][0], &isRep0Long_[0][0]})
      std::fill(p, p + 12 * 16, 1024);
    for (uint16_t* p : {isRep_, isRepG0_, isRepG1_, isRepG2_})
      std::fill(p, p + 12, 1024);
    std::fill(&posSlot_[0][0], &posSlot_[0][0] + 4 * 64, 1024);
    std::fill(distanceProbs_, distanceProbs_ + 115, 1024);
    std::fill(align_, align_ + 16, 1024);
    for (Lengths* l : {&len_, &repLen_}) std::fill((uint16_t*)l, (uint16_t*)(l + 1), 1024);
    for (int i = 0; i < 5; ++i) code_ = code_ << 8 | Next();
    while (!exhausted_ && !broken_ && output.size() < dataSize) Step();
    if (output.size() != dataSize || exhausted_ || broken_) return;
    Step();  // an end marker, or (dropped again) whatever the bytes make up
    if (!symbols.empty() && symbols.back().outputEnd > dataSize)
      symbols.pop_back();
    output.resize(dataSize);
  }

  std::vector<TracedSymbol> symbols;
  Bytes output;

 private:
  struct Lengths {
    uint16_t choice, choice2, low[16][8], mid[16][8], high[256];
  };

  uint8_t Next() {
    if (pos_ < in_.size()) return in_[pos_++];
    exhausted_ = true;
    return 0;
  }
  void Normalize() {
    if (range_ < (1u << 24)) {
      range_ <<= 8;
      code_ = code_ << 8 | Next();
    }
  }
  uint32_t Bit(uint16_t& p) {
    Normalize();
    uint32_t bound = (range_ >> 11) * p;
    if (code_ < bound) {
      range_ = bound;
      p += (2048 - p) >> 5;
      return 0;
    }
    range_ -= bound;
    code_ -= bound;
    p -= p >> 5;
    return 1;
  }
  uint32_t Direct(int count) {
    uint32_t result = 0;
    while (count--) {
      Normalize();
      range_ >>= 1;
      uint32_t bit = code_ >= range_;
      if (bit) code_ -= range_;
      result = result << 1 | bit;
    }
    return result;
  }
  uint32_t Tree(uint16_t* probs, int bits) {
    uint32_t m = 1;
    for (int i = 0; i < bits; ++i) m = m << 1 | Bit(probs[m]);
    return m - (1u << bits);
  }
  uint32_t Reverse(uint16_t* probs, int64_t base, int bits) {
    uint32_t m = 1, result = 0;
    for (int i = 0; i < bits; ++i) {
      uint32_t bit = Bit(probs[base + m]);
      m = m << 1 | bit;
      result |= bit << i;
    }
    return result;
  }
  uint32_t Length(Lengths& l, uint32_t posState) {
    if (!Bit(l.choice)) return Tree(l.low[posState], 3);
    if (!Bit(l.choice2)) return 8 + Tree(l.mid[posState], 3);
    return 16 + Tree(l.high, 8);
  }

  void Step() {
    Normalize();
    TracedSymbol symbol = {0, pos_, 0, code_ == 0, false};
    const uint32_t posState = output.size() & ((1u << pb_) - 1);
    uint32_t length = 0;  // bytes to copy from distance rep0 + 1
    if (!Bit(isMatch_[state_][posState])) {
      uint8_t previous = output.empty() ? 0 : output.back();
      size_t context = ((output.size() & ((1u << lp_) - 1)) << lc_) +
                       (previous >> (8 - lc_));
      uint16_t* probs = &literal_[0x300 * context];
      uint32_t value = 1;
      if (state_ >= 7) {
        uint32_t match = output[output.size() - rep_[0] - 1], offset = 0x100;
        do {
          match <<= 1;
          uint32_t matchBit = match & offset;
          uint32_t bit = Bit(probs[offset + matchBit + value]);
          value = value << 1 | bit;
          offset &= bit ? matchBit : ~matchBit;
        } while (value < 0x100);
      } else {
        while (value < 0x100) value = value << 1 | Bit(probs[value]);
      }
      state_ = state_ < 4 ? 0 : state_ < 10 ? state_ - 3 : state_ - 6;
      output.push_back((uint8_t)value);
    } else if (!Bit(isRep_[state_])) {
      uint32_t len = Length(len_, posState);
      state_ = state_ < 7 ? 7 : 10;
      uint32_t slot = Tree(posSlot_[len < 3 ? len : 3], 6);
      uint32_t distance = slot;
      if (slot >= 4) {
        int direct = (int)(slot >> 1) - 1;
        distance = (2 | (slot & 1)) << direct;
        if (slot < 14) {
          distance += Reverse(distanceProbs_, (int64_t)distance - slot - 1, direct);
        } else {
          distance += Direct(direct - 4) << 4;
          distance += Reverse(align_, 0, 4);
        }
      }
      rep_[3] = rep_[2];
      rep_[2] = rep_[1];
      rep_[1] = rep_[0];
      rep_[0] = distance;
      symbol.endMarker = distance == 0xFFFFFFFFu;
      length = len + 2;
    } else if (!Bit(isRepG0_[state_])) {
      if (!Bit(isRep0Long_[state_][posState])) {
        state_ = state_ < 7 ? 9 : 11;
        length = 1;
      } else {
        length = Length(repLen_, posState) + 2;
        state_ = state_ < 7 ? 8 : 11;
      }
    } else {
      uint32_t distance;
      if (!Bit(isRepG1_[state_])) {
        distance = rep_[1];
      } else {
        if (!Bit(isRepG2_[state_])) {
          distance = rep_[2];
        } else {
          distance = rep_[3];
          rep_[3] = rep_[2];
        }
        rep_[2] = rep_[1];
      }
      rep_[1] = rep_[0];
      rep_[0] = distance;
      length = Length(repLen_, posState) + 2;
      state_ = state_ < 7 ? 8 : 11;
    }
    if (exhausted_) return;
    symbol.inputAfter = pos_;
    if (!symbol.endMarker && length != 0) {
      if (rep_[0] >= output.size()) {
        broken_ = true;
        return;
      }
      for (uint32_t i = 0; i < length; ++i)
        output.push_back(output[output.size() - rep_[0] - 1]);
    }
    symbol.outputEnd = output.size();
    symbols.push_back(symbol);
    if (symbol.endMarker) broken_ = true;  // nothing follows a marker
  }

  const Bytes& in_;
  size_t pos_ = 0;
  bool exhausted_ = false, broken_ = false;
  uint32_t range_ = 0xFFFFFFFFu, code_ = 0;
  uint32_t lc_, lp_, pb_;
  uint32_t state_ = 0, rep_[4] = {0, 0, 0, 0};
  std::vector<uint16_t> literal_;
  uint16_t isMatch_[12][16], isRep_[12], isRepG0_[12], isRepG1_[12],
      isRepG2_[12], isRep0Long_[12][16], posSlot_[4][64], distanceProbs_[115],
      align_[16];
  Lengths len_, repLen_;
};

// What the launcher must decide for a payload size inside a traced block:
// refuse sizes that end inside a symbol; accept sizes that end on a boundary
// followed by an end marker, by nothing, or by a symbol that needs input the
// boundary did not. A boundary followed by a symbol that needs no new input
// byte cannot be told from a match running past the size through liblzma
// (the decoder reads exactly as far in both cases), so it is refused.
enum class Boundary { Inside, Decidable, Undecidable };

Boundary Classify(const std::vector<TracedSymbol>& symbols, size_t size) {
  for (size_t i = 0; i < symbols.size(); ++i) {
    if (symbols[i].outputEnd < size) continue;
    if (symbols[i].outputEnd > size) return Boundary::Inside;
    if (i + 1 == symbols.size()) return Boundary::Decidable;
    const TracedSymbol& next = symbols[i + 1];
    return next.endMarker || next.codeWasZero ||
                   next.inputAfter > next.inputBefore
               ? Boundary::Decidable
               : Boundary::Undecidable;
  }
  return Boundary::Inside;  // beyond the data
}

// Decodes in pieces of `pieceSize` bytes, as the launcher does, only in
// smaller pieces so the tests cross many of them.
LzmaOutcome Decode(const Bytes& block, size_t size, const Settings& s = {},
                   Bytes* out = nullptr, int32_t pieceSize = kOutputPieceSize) {
  uint8_t bytes[5];
  PropertyBytes(s, bytes);
  LzmaProperties properties;
  EXPECT_TRUE(AcceptLzmaProperties(bytes, &properties));
  return DecodeBlock(properties, block, (int32_t)size, out, pieceSize);
}

const char* Name(LzmaOutcome outcome) {
  return outcome == LzmaOutcome::Accepted  ? "accepted"
         : outcome == LzmaOutcome::Refused ? "refused"
                                           : "out of memory";
}

// Data ending in a long repetition of its own start.
Bytes EndsInLongMatch() {
  Bytes head = RandomBytes(600, 7);
  return Concat(head, Bytes(head.begin(), head.begin() + 250));
}

// --- DecodeLzmaExactly ------------------------------------------------------

TEST(SymbolTrace, ReproducesTheEncodedData) {
  const Settings settings[] = {{}, {0, 2, 0, 4096}, {4, 0, 4, 1 << 20}};
  for (const Settings& s : settings)
    for (bool marker : {false, true}) {
      Bytes data = Concat(SetupImage(3000), Bytes(2000, 0));
      SymbolTrace trace(Encode(data, marker, s), s, data.size());
      EXPECT_EQ(trace.output, data);
      EXPECT_EQ(marker, !trace.symbols.empty() && trace.symbols.back().endMarker);
    }
}

struct NamedBlock {
  const char* name;
  Bytes data;
  bool endMarker;
  Settings settings;
};

// Every payload size from 0 to one past the data, against the rule.
TEST(DecodeLzmaExactly, EverySizeOfABlockAgainstItsSymbols) {
  const NamedBlock blocks[] = {
      {"mixed, end marker", Concat(SetupImage(2500, 3), RandomBytes(40, 3)), true, {}},
      {"mixed, no marker", Concat(SetupImage(2500, 4), RandomBytes(40, 4)), false, {}},
      {"long match at the end", EndsInLongMatch(), true, {1, 3, 1, 4096}},
      {"zeros", Bytes(6000, 0), false, {}},
  };
  for (const NamedBlock& b : blocks) {
    SCOPED_TRACE(b.name);
    Bytes block = Encode(b.data, b.endMarker, b.settings);
    SymbolTrace trace(block, b.settings, b.data.size());
    ASSERT_EQ(trace.output, b.data);
    int counts[3] = {0, 0, 0};
    for (size_t size = 1; size <= b.data.size() + 1; ++size) {
      Boundary boundary = Classify(trace.symbols, size);
      ++counts[(int)boundary];
      LzmaOutcome expected = boundary == Boundary::Decidable
                                 ? LzmaOutcome::Accepted
                                 : LzmaOutcome::Refused;
      // One step for the whole output, and steps that end inside symbols.
      for (int32_t step : {kOutputPieceSize, 97}) {
        Bytes output;
        LzmaOutcome outcome = Decode(block, size, b.settings, &output, step);
        ASSERT_EQ(outcome, expected)
            << "size " << size << " step " << step << " got " << Name(outcome);
        if (outcome == LzmaOutcome::Accepted) {
          ASSERT_EQ(output.size(), size);
          ASSERT_TRUE(std::equal(output.begin(), output.end(), b.data.begin()));
        }
      }
    }
    EXPECT_GT(counts[(int)Boundary::Inside], 0);
    EXPECT_GT(counts[(int)Boundary::Decidable], 0);
  }
}

TEST(DecodeLzmaExactly, EndMarkerRightAfterThePayload) {
  const Bytes data = SetupImage(5000, 9);
  const Bytes block = Encode(data, true);
  Bytes output;
  EXPECT_EQ(Decode(block, data.size(), {}, &output), LzmaOutcome::Accepted);
  EXPECT_EQ(output, data);
  EXPECT_EQ(Decode(block, data.size() + 1), LzmaOutcome::Refused);
  EXPECT_EQ(Decode(block, data.size() - 1),
            Classify(SymbolTrace(block, {}, data.size()).symbols,
                     data.size() - 1) == Boundary::Decidable
                ? LzmaOutcome::Accepted
                : LzmaOutcome::Refused);
}

TEST(DecodeLzmaExactly, MatchRunningPastThePayloadIsRefused) {
  const Bytes data = EndsInLongMatch();
  for (bool marker : {false, true}) {
    const Bytes block = Encode(data, marker);
    const SymbolTrace trace(block, {}, data.size());
    const TracedSymbol& last = trace.symbols[trace.symbols.size() - 1 - marker];
    ASSERT_EQ(last.outputEnd, data.size());
    for (size_t back : {1, 3, 100}) {
      ASSERT_EQ(Classify(trace.symbols, data.size() - back), Boundary::Inside);
      EXPECT_EQ(Decode(block, data.size() - back), LzmaOutcome::Refused) << back;
    }
  }
}

TEST(DecodeLzmaExactly, FurtherSymbolsAfterThePayloadAreIgnored) {
  // Fresh random bytes at the end are literals, each of which moves the
  // range coder by a whole input byte or more; find a seed where the last
  // one does.
  bool found = false;
  for (uint32_t seed = 1; seed < 40 && !found; ++seed) {
    const Bytes data = Concat(SetupImage(3000, seed), RandomBytes(30, seed));
    const Bytes block = Encode(data, false);
    const SymbolTrace trace(block, {}, data.size());
    const TracedSymbol& last = trace.symbols.back();
    if (last.outputEnd != data.size() || last.inputAfter == last.inputBefore ||
        trace.symbols[trace.symbols.size() - 2].outputEnd != data.size() - 1)
      continue;
    found = true;
    Bytes output;
    EXPECT_EQ(Decode(block, data.size() - 1, {}, &output),
              LzmaOutcome::Accepted);
    EXPECT_TRUE(std::equal(output.begin(), output.end(), data.begin()));
  }
  EXPECT_TRUE(found);
}

TEST(DecodeLzmaExactly, BoundaryBeforeASymbolWithoutNewInputIsRefused) {
  // Long runs of zeros become maximal repeated matches whose bits are all
  // near-certain: many of them fit into one input byte. At a boundary before
  // such a match liblzma reads no further whether or not it may look for an
  // end marker, exactly as when a match runs past the size, so the launcher
  // cannot prove the boundary and takes the damaged-package side.
  const Bytes data(20000, 0);
  const Bytes block = Encode(data, false);
  const SymbolTrace trace(block, {}, data.size());
  size_t corners = 0;
  for (const TracedSymbol& symbol : trace.symbols) {
    if (Classify(trace.symbols, symbol.outputEnd) != Boundary::Undecidable)
      continue;
    ++corners;
    EXPECT_EQ(Decode(block, symbol.outputEnd), LzmaOutcome::Refused)
        << symbol.outputEnd;
  }
  EXPECT_GT(corners, 10u);
}

TEST(DecodeLzmaExactly, CutBlockIsRefusedOnceTheLastSymbolIsIncomplete) {
  // Cutting away only what follows the last data symbol (marker, flush
  // bytes) takes nothing from the payload; any deeper cut must refuse, even
  // though everything present decodes cleanly.
  const Bytes data = SetupImage(4000, 5);
  for (bool marker : {false, true}) {
    const Bytes block = Encode(data, marker);
    const SymbolTrace trace(block, {}, data.size());
    const TracedSymbol& last = trace.symbols[trace.symbols.size() - 1 - marker];
    for (size_t cut = 0; cut <= block.size(); ++cut) {
      Bytes shorter(block.begin(), block.begin() + cut);
      EXPECT_EQ(Decode(shorter, data.size()), cut >= last.inputAfter
                                                  ? LzmaOutcome::Accepted
                                                  : LzmaOutcome::Refused)
          << "cut to " << cut << " of " << block.size();
    }
  }
}

TEST(DecodeLzmaExactly, TrailingBytesAreIgnored) {
  const Bytes data = SetupImage(4000, 6);
  for (bool marker : {false, true}) {
    for (const Bytes& tail : {Bytes(1, 0), Bytes(64, 0xFF), RandomBytes(64, 2)}) {
      Bytes output;
      EXPECT_EQ(Decode(Concat(Encode(data, marker), tail), data.size(), {},
                       &output),
                LzmaOutcome::Accepted);
      EXPECT_EQ(output, data);
    }
  }
}

TEST(DecodeLzmaExactly, CorruptBlocksAreRefused) {
  const Bytes data = SetupImage(1000, 8);
  Bytes badFirstByte = Encode(data, true);
  badFirstByte[0] = 1;                        // the range coder starts at 0
  Bytes matchFirst = Concat({0}, Bytes(40, 0xFF));  // a match before any byte
  for (const Bytes& block : {badFirstByte, matchFirst, Bytes(), Bytes(5, 0)})
    EXPECT_EQ(Decode(block, data.size()), LzmaOutcome::Refused);
}

TEST(DecodeLzmaExactly, LiblzmaRefusesLcPlusLpAboveFour) {
  const Bytes data = SetupImage(100);
  const Bytes block = Encode(data, true);
  for (uint8_t first : {224, 13 /* lc 4, lp 1 */}) {
    const uint8_t bytes[5] = {first, 0, 0, 1, 0};
    LzmaProperties properties;
    ASSERT_TRUE(AcceptLzmaProperties(bytes, &properties));
    EXPECT_EQ(DecodeBlock(properties, block, (int32_t)data.size()),
              LzmaOutcome::Refused);
  }
}

TEST(LzmaProperties, AcceptanceRule) {
  const struct {
    uint8_t bytes[5];
    bool accepted;
    LzmaProperties decoded;
  } cases[] = {
      {{0x5D, 0x00, 0x00, 0x40, 0x00}, true, {3, 0, 2, 4194304}},
      {{224, 0, 0, 1, 0}, true, {8, 4, 4, 65536}},
      {{0, 0, 0, 0, 0}, true, {0, 0, 0, 0}},
      {{0x5D, 0xFF, 0xFF, 0xFF, 0x7F}, true, {3, 0, 2, 0x7FFFFFFFu}},
      {{225, 0, 0, 1, 0}, false, {}},
      {{255, 0, 0, 1, 0}, false, {}},
      {{0x5D, 0x00, 0x00, 0x00, 0x80}, false, {}},
      {{0x5D, 0xFF, 0xFF, 0xFF, 0xFF}, false, {}},
  };
  for (const auto& c : cases) {
    LzmaProperties p = {};
    EXPECT_EQ(AcceptLzmaProperties(c.bytes, &p), c.accepted) << (int)c.bytes[0];
    if (!c.accepted) continue;
    EXPECT_EQ(p.lc, c.decoded.lc);
    EXPECT_EQ(p.lp, c.decoded.lp);
    EXPECT_EQ(p.pb, c.decoded.pb);
    EXPECT_EQ(p.dictionarySize, c.decoded.dictionarySize);
  }
}

// --- Through the launcher ---------------------------------------------------

class DecompressLauncher : public LauncherTest {
 protected:
  // Runs the whole launcher on a file carrying `block`; detached, so an
  // accepted payload stays on disk as the temporary copy.
  void Run(const Bytes& block, const uint8_t properties[5], int32_t payloadSize,
           const std::function<void(PackageHeader&)>& patch = nullptr,
           const std::function<void()>& arrange = nullptr) {
    LauncherTest::SetUp();
    packer::PackageOptions options;
    options.detached = true;
    options.precompressed = packer::PrecompressedPayload{block, {}, payloadSize};
    std::memcpy(options.precompressed->properties, properties, 5);
    Bytes file = BuildLauncher(Bytes(), options);
    if (patch) {
      PackageHeader header = HeaderOf(file);
      patch(header);
      StoreHeader(file, header);
      PackageLocator locator = LocatorOf(file);
      locator.crcValue = ComputeCrc32(file.data() + locator.packageOffset,
                                      (int32_t)locator.crcLength);
      StoreLocator(file, locator);
    }
    InstallLauncher(file);
    if (arrange) arrange();
    exit_ = ExitCodeOf(RunLauncher);
  }

  // Nothing of a copy is left on disk, and no handle is open.
  void ExpectNothingLeft() {
    for (const std::u16string& created : Fake().createdFiles)
      EXPECT_EQ(Fake().files.count(created), 0u) << Narrow(created);
    EXPECT_EQ(Fake().openHandles, 1);  // the launcher's own file
  }

  void ExpectCopy(const Bytes& expected) {
    ASSERT_EQ(exit_, std::nullopt) << Narrow(Fake().boxes.at(0).text);
    ASSERT_EQ(Fake().createdFiles.size(), 1u);
    EXPECT_EQ(Fake().files[Fake().createdFiles[0]].bytes, expected);
    EXPECT_EQ(Fake().starts.size(), 1u);
  }

  void ExpectDamaged() {
    EXPECT_EQ(exit_, 1620u);
    EXPECT_TRUE(EndedWithBox(kPackageDamagedText));
    ExpectNothingLeft();
  }

  std::optional<uint32_t> exit_;
};

struct LauncherCase {
  const char* name;
  const Bytes* source;  // the data the block was made from
  Bytes block;
  int32_t payloadSize;
  bool accepted;
};

TEST_F(DecompressLauncher, KeyBlocks) {
  const Settings s;
  uint8_t properties[5];
  PropertyBytes(s, properties);
  const Bytes data = Concat(SetupImage(3000, 2), RandomBytes(30, 2));
  const Bytes marked = Encode(data, true);
  const Bytes unmarked = Encode(data, false);
  const Bytes longMatch = EndsInLongMatch();
  const Bytes zeros(20000, 0);
  const Bytes zerosBlock = Encode(zeros, false);
  SymbolTrace dataTrace(unmarked, s, data.size());
  SymbolTrace zerosTrace(zerosBlock, s, zeros.size());
  const int32_t n = (int32_t)data.size();
  int32_t corner = 0;
  for (const TracedSymbol& symbol : zerosTrace.symbols)
    if (!corner && Classify(zerosTrace.symbols, symbol.outputEnd) ==
                       Boundary::Undecidable)
      corner = (int32_t)symbol.outputEnd;
  ASSERT_NE(corner, 0);
  ASSERT_EQ(Classify(dataTrace.symbols, n - 1), Boundary::Decidable);

  const LauncherCase cases[] = {
      {"end marker after the payload", &data, marked, n, true},
      {"one byte more than the marker allows", &data, marked, n + 1, false},
      {"no marker", &data, unmarked, n, true},
      {"symbols after the payload", &data, unmarked, n - 1, true},
      {"trailing bytes", &data, Concat(marked, RandomBytes(100, 1)), n, true},
      {"cut block", &data, Bytes(marked.begin(), marked.begin() + marked.size() / 2),
       n, false},
      {"match past the payload", &longMatch, Encode(longMatch, true),
       (int32_t)longMatch.size() - 3, false},
      {"boundary that cannot be proven", &zeros, zerosBlock, corner, false},
      {"corrupt block", &data, Concat({0}, Bytes(40, 0xFF)), n, false},
      {"empty payload, garbage block", &data, RandomBytes(50, 3), 0, true},
      {"empty payload, empty block", &data, Bytes(), 0, true},
  };
  for (const LauncherCase& c : cases) {
    SCOPED_TRACE(c.name);
    Run(c.block, properties, c.payloadSize);
    if (c.accepted)
      ExpectCopy(Bytes(c.source->begin(), c.source->begin() + c.payloadSize));
    else
      ExpectDamaged();
  }
}

TEST_F(DecompressLauncher, PropertyBytes) {
  const Bytes data = SetupImage(2000, 4);
  const Bytes block = Encode(data, true, {3, 0, 2, 4096});
  const struct {
    uint8_t bytes[5];
    bool accepted;
  } cases[] = {
      {{0x5D, 0x00, 0x10, 0x00, 0x00}, true},
      {{0x5D, 0x00, 0x00, 0x00, 0x00}, true},  // liblzma takes 4 KiB at least
      {{0x5D, 0xFF, 0xFF, 0xFF, 0x7F}, true},  // no 2 GiB dictionary needed
      {{0x5D, 0x00, 0x00, 0x00, 0x80}, false},
      {{224, 0x00, 0x10, 0x00, 0x00}, false},  // lc + lp > 4
      {{225, 0x00, 0x10, 0x00, 0x00}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE((int)c.bytes[0]);
    Run(block, c.bytes, (int32_t)data.size());
    if (c.accepted) ExpectCopy(data);
    else ExpectDamaged();
  }
}

TEST_F(DecompressLauncher, OutOfRangeHeaderFieldsAreDamage) {
  const Bytes data = SetupImage(2000, 4);
  const Bytes block = Encode(data, true);
  uint8_t properties[5];
  PropertyBytes({}, properties);
  const std::function<void(PackageHeader&)> patches[] = {
      [](PackageHeader& h) { h.payloadSize = -1; },
      [](PackageHeader& h) { h.payloadSize = INT32_MIN; },
      [](PackageHeader& h) { h.payloadPackedSize = 0x80000000u; },
      [](PackageHeader& h) { h.payloadPackedSize = 0xFFFFFFFFu; },
      [](PackageHeader& h) { h.payloadOffset = 0x80000000u; },
      [](PackageHeader& h) { h.payloadOffset = 0xFFFFFFFFu; },
      [](PackageHeader& h) { h.payloadPackedSize = 0x7FFFFFFFu; },  // past the end
  };
  for (const auto& patch : patches) {
    Run(block, properties, (int32_t)data.size(), patch);
    ExpectDamaged();
  }
}

TEST_F(DecompressLauncher, MemoryDoesNotGrowWithTheSetupProgram) {
  // The launcher holds liblzma's dictionary and fixed pieces, whatever the
  // size of the setup program or the size a forged header claims for it.
  const Bytes small = SetupImage(100 << 10, 5);
  const Bytes large = SetupImage(6 << 20, 5);
  const Bytes largeBlock = Encode(large, false);
  uint8_t properties[5];
  PropertyBytes({}, properties);
  const size_t bound = Settings().dictionarySize + kBlockPieceSize +
                       kOutputPieceSize + (256 << 10);
  const struct {
    const char* name;
    const Bytes* data;
    const Bytes block;
    int32_t claimed;
  } cases[] = {
      {"small", &small, Encode(small, false), (int32_t)small.size()},
      {"large", &large, largeBlock, (int32_t)large.size()},
      {"forged: 4 times the size", nullptr, largeBlock,
       (int32_t)large.size() * 4},
      {"forged: 2 GiB", nullptr, largeBlock, INT32_MAX},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Run(c.block, properties, c.claimed);
    if (c.data)
      ExpectCopy(*c.data);
    else
      ExpectDamaged();
    EXPECT_LE(Fake().peakAllocatedBytes, bound);
  }
}

TEST_F(DecompressLauncher, FailuresWhileTheCopyIsWritten) {
  // The copy is written while the payload is decoded. The verdict is the
  // one of decoding first and writing afterwards: damage outranks a copy
  // that could not be written. Whatever failed, nothing of the copy stays.
  const Bytes data = SetupImage(3 << 20, 6);
  const Bytes block = Encode(data, false);
  const Bytes cut(block.begin(), block.end() - 64);  // damage found late
  uint8_t properties[5];
  PropertyBytes({}, properties);
  const std::u16string temp = Fake().tempPath;
  const struct {
    const char* name;
    const Bytes* block;
    std::function<void()> arrange;
    const WideChar* message;
  } cases[] = {
      {"late damage, temporary folder unwritable", &cut,
       [&] { Fake().unwritableFolders.insert(temp); }, kPackageDamagedText},
      {"late damage after a partly written copy", &cut, [] {},
       kPackageDamagedText},
      {"late damage, disk full in the middle", &cut,
       [] { Fake().failWriteAfter = 3 << 19; }, kPackageDamagedText},
      {"disk full in the middle", &block,
       [] { Fake().failWriteAfter = 3 << 19; }, kTempCopyFailedText},
      {"disk full, no deletion through the handle", &block,
       [] {
         Fake().failWriteAfter = 3 << 19;
         Fake().deleteOnCloseFails = true;
       },
       kTempCopyFailedText},
      {"temporary folder unwritable", &block,
       [&] { Fake().unwritableFolders.insert(temp); }, kTempCopyFailedText},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Run(*c.block, properties, (int32_t)data.size(), nullptr, c.arrange);
    EXPECT_TRUE(EndedWithBox(c.message));
    ExpectNothingLeft();
  }
}

TEST_F(DecompressLauncher, ShortReadOfTheBlockIsDamage) {
  const Bytes data = SetupImage(2000, 4);
  packer::PackageOptions options;
  options.precompressed =
      packer::PrecompressedPayload{Encode(data, true), {}, (int32_t)data.size()};
  PropertyBytes({}, options.precompressed->properties);
  const Bytes file = BuildLauncher(Bytes(), options);
  InstallLauncher(file);
  OwnFile().maxBytesPerRead = (uint32_t)options.precompressed->block.size() - 1;
  PlatformHandle handle = PlatformOpenForReading(Fake().modulePath.c_str());
  exit_ = ExitCodeOf([&] { WriteTemporaryCopy(handle, HeaderOf(file)); });
  ExpectDamaged();
}

}  // namespace
