// Whole streams: exact bytes of small ones, round trips over a table of inputs, several blocks,
// the output bound, damaged streams, refused memory and failing hooks.
#include <string>

#include "codec_test_util.h"
#include "stream_builder.h"

namespace zdx::test {
namespace {

// Small blocks worked out by hand from the encoding rules (tables, selectors and codes):
// - "a": the last column is "a", one zero run of length 1, so the symbols are RUNA, EOB (2).
//   Both initial tables cost 15 for the group; the tie goes to table 0. All-zero and {1,0,1}
//   frequencies both give the lengths 2, 2, 1 (EOB gets the 1-bit code "0").
// - "aaa": symbols RUNA, RUNA, EOB. Table 1 starts cheaper (0+0+15 against 15+15+0) and
//   becomes lengths 1, 2, 2 from the counts {2, 0, 1}; table 0 keeps 2, 2, 1. The selector is 1,
//   written as move-to-front position 1.
TEST(Stream, SmallBlocksAreExactlyAsWorkedOut) {
  struct Case {
    const char* input;
    BlockFields fields;
  };
  BlockFields a;  // the builder's defaults are the block of "a"
  BlockFields aaa;
  aaa.blockCrc = Crc(ToBytes("aaa"));
  aaa.selectorMtf = {1};
  aaa.lengths = {{2, 2, 1}, {1, 2, 2}};
  aaa.symbols = {kRunA, kRunA, 2};
  const Case cases[] = {{"a", a}, {"aaa", aaa}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(ExpectRoundTrip(ToBytes(c.input)), OneBlockStream(c.fields));
  }
}

Bytes AllByteValues() {
  Bytes out(256);
  for (int i = 0; i < 256; ++i) out[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
  return out;
}

Bytes Periodic(const std::string& period, size_t n) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(period[i % period.size()]);
  return out;
}

Bytes CorpusFile(const char* name) {
  Bytes data = ReadFile(std::string(ZDX_CORPUS_DIR) + "/text/" + name);
  EXPECT_FALSE(data.empty()) << name;
  return data;
}

TEST(RoundTrip, TableOfInputs) {
  const Bytes text = CorpusFile("alice29.txt");
  struct Case {
    const char* name;
    Bytes input;
  };
  const Case cases[] = {
      {"empty", {}},
      {"one byte", {0x00}},
      {"one byte 0xFF", {0xFF}},
      {"all 256 values", AllByteValues()},
      {"all 256 values backwards",
       [] {
         Bytes b = AllByteValues();
         std::reverse(b.begin(), b.end());
         return b;
       }()},
      {"run of 3", Cat({{1}, Repeat(3, 7), {2}})},
      {"run of 4", Cat({{1}, Repeat(4, 7), {2}})},
      {"run of 255", Cat({{1}, Repeat(255, 7), {2}})},
      {"run of 256", Cat({{1}, Repeat(256, 7), {2}})},
      {"run of 259", Cat({{1}, Repeat(259, 7), {2}})},
      {"runs of every length",
       [] {
         Bytes b;
         for (int n = 1; n <= 300; ++n)
           b.insert(b.end(), static_cast<size_t>(n), static_cast<uint8_t>(n * 7));
         return b;
       }()},
      {"block shorter than the overshoot", ToBytes("abcab")},
      {"last 3999: Shell sort only", Bytes(text.begin(), text.begin() + 4000)},
      {"last 4000: bucket sort", Bytes(text.begin(), text.begin() + 4001)},
      {"periodic, randomised", Periodic("abc", 6000)},
      {"one value, randomised", Repeat(300000, 'x')},
      {"random bytes", RandomBytes(100000, 1)},
      {"text", text},
      {"html", CorpusFile("cp.html")},
      {"binary", CorpusFile("sum")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectRoundTrip(c.input);
  }
}

// Several blocks: random bytes with runs sprinkled in, about three blocks' worth.
const Bytes& MultiBlockInput() {
  static const Bytes input = [] {
    Bytes b = RandomBytes(2200000, 7);
    uint32_t x = 99;
    for (size_t i = 0; i + 600 < b.size(); i += 64 + (x >> 20)) {
      x = x * 1664525u + 1013904223u;
      std::fill_n(b.begin() + static_cast<long>(i), 4 + (x >> 23), static_cast<uint8_t>(x));
    }
    return b;
  }();
  return input;
}

const Bytes& MultiBlockStream() {
  static const Bytes stream = ExpectRoundTrip(MultiBlockInput());
  return stream;
}

// Bit offsets of every block marker in the stream (blocks after the first need not be aligned).
std::vector<size_t> BlockMarkerOffsets(const Bytes& stream) {
  std::vector<size_t> offsets;
  uint64_t window = 0;
  for (size_t bit = 0; bit < stream.size() * 8; ++bit) {
    window = ((window << 1) | ((stream[bit / 8] >> (7 - bit % 8)) & 1)) & 0xFFFFFFFFFFFFull;
    if (bit >= 47 && window == 0x314159265359ull) offsets.push_back(bit - 47);
  }
  return offsets;
}

void FlipBit(Bytes& b, size_t bit) { b[bit / 8] ^= static_cast<uint8_t>(0x80u >> (bit % 8)); }

TEST(RoundTrip, SeveralBlocks) {
  const Bytes& stream = MultiBlockStream();
  ASSERT_FALSE(stream.empty());
  EXPECT_EQ(BlockMarkerOffsets(stream).size(), 3u);
}

TEST(Extract, CrcMismatchInTheSecondBlockFailsAfterTheFirstBlockIsOut) {
  Bytes stream = MultiBlockStream();
  const std::vector<size_t> markers = BlockMarkerOffsets(stream);
  ASSERT_GE(markers.size(), 2u);
  FlipBit(stream, markers[1] + 48 + 31);  // lowest bit of the second block's CRC
  MemoryIO io(stream, static_cast<uint32_t>(MultiBlockInput().size()));
  CodecError error;
  EXPECT_EQ(Extract(io, &error), 0);
  EXPECT_EQ(error, CodecError::Damaged);
  // The first block (at least its first 899,981 source bytes) has been put out.
  EXPECT_GE(io.dstcur, 899981u);
  EXPECT_FALSE(io.bContractBroken);
}

TEST(Extract, OutputBoundBothWays) {
  const Bytes input = CorpusFile("fields.c");
  const Bytes stream = ExpectRoundTrip(input);
  const uint32_t n = static_cast<uint32_t>(input.size());
  // Smaller than the content: output stops at the bound and the checksums still pass.
  for (uint32_t dstlen : {0u, 1u, n / 2, n - 1}) {
    SCOPED_TRACE(dstlen);
    const Expanded x = ExpandBytes(stream, dstlen);
    EXPECT_EQ(x.ok, 1);
    EXPECT_EQ(x.out, Bytes(input.begin(), input.begin() + dstlen));
  }
  // Larger: nothing is appended; the caller sees the shortfall in dstcur.
  const Expanded x = ExpandBytes(stream, n + 1000);
  EXPECT_EQ(x.ok, 1);
  EXPECT_EQ(x.out, input);
}

TEST(Extract, TruncatedStreamFails) {
  const Bytes stream = ExpectRoundTrip(CorpusFile("grammar.lsp"));
  for (size_t keep : {size_t{0}, size_t{5}, size_t{10}, stream.size() / 3, stream.size() - 5,
                      stream.size() - 1}) {
    SCOPED_TRACE(keep);
    const Expanded x =
        ExpandBytes(Bytes(stream.begin(), stream.begin() + static_cast<long>(keep)), 100000);
    EXPECT_EQ(x.ok, 0);
    EXPECT_EQ(x.error, CodecError::Damaged);
  }
}

TEST(Extract, EverySingleBitOfTheStreamEndMatters) {
  const Bytes stream = ExpectRoundTrip(ToBytes("hello, hello, hello"));
  // The end marker and combined CRC are the last 80 bits before the padding.
  const Bytes empty = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90, 0, 0, 0, 0};
  for (size_t bit = 0; bit < 80; ++bit) {
    SCOPED_TRACE(bit);
    Bytes damaged = empty;
    FlipBit(damaged, bit);
    EXPECT_EQ(ExpandBytes(damaged, 10).ok, 0);
  }
  const size_t streamBits = stream.size() * 8;
  for (size_t back = 8; back <= 88; back += 8) {
    Bytes damaged = stream;
    FlipBit(damaged, streamBits - back);
    EXPECT_EQ(ExpandBytes(damaged, 100).ok, 0) << back;
  }
}

TEST(Compress, RefusedMemoryWritesNothingAndHoldsNothing) {
  for (int refuse = 1; refuse <= 5; ++refuse) {
    SCOPED_TRACE(refuse);
    RefusingAllocator::Reset(refuse);
    CompressState s;
    s.pfnAlloc = &RefusingAllocator::Alloc;
    s.pfnFree = &RefusingAllocator::Free;
    MemoryIO io(ToBytes("some bytes"));
    EXPECT_EQ(zdx::Compress(s, io), 0);
    EXPECT_EQ(s.error, CodecError::NoMemory);
    EXPECT_EQ(io.dstcur, 0u);
    EXPECT_EQ(RefusingAllocator::nOutstanding, 0);
  }
}

TEST(Extract, RefusedMemoryFailsAndHoldsNothing) {
  const Bytes stream = ExpectRoundTrip(ToBytes("some bytes"));
  for (int refuse = 1; refuse <= 2; ++refuse) {
    SCOPED_TRACE(refuse);
    RefusingAllocator::Reset(refuse);
    ExpandState s;
    s.pfnAlloc = &RefusingAllocator::Alloc;
    s.pfnFree = &RefusingAllocator::Free;
    MemoryIO io(stream, 100);
    EXPECT_EQ(zdx::Extract(s, io), 0);
    EXPECT_EQ(s.error, CodecError::NoMemory);
    EXPECT_EQ(io.dstcur, 0u);
    EXPECT_EQ(RefusingAllocator::nOutstanding, 0);
  }
}

TEST(Compress, FailedRefillStopsAtTheBlockBoundary) {
  MemoryIO io(RandomBytes(3 * kChunkSize, 3));
  io.nFailAtRefill = 1;
  CodecError error;
  EXPECT_EQ(Compress(io, &error), 0);
  EXPECT_EQ(error, CodecError::Io);
  EXPECT_EQ(io.dstcur, 0u) << "the block being loaded is not coded";
}

TEST(Extract, FailedFlushIsReportedAsIo) {
  const Bytes stream = MultiBlockStream();
  MemoryIO io(stream, static_cast<uint32_t>(MultiBlockInput().size()));
  io.nFailAtFlush = 1;
  CodecError error;
  EXPECT_EQ(Extract(io, &error), 0);
  EXPECT_EQ(error, CodecError::Io);
  EXPECT_LT(io.dstcur, 900000u + kChunkSize) << "stops after the block of the failed flush";
}

}  // namespace
}  // namespace zdx::test
