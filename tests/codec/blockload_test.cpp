// Block loading: runs, their run-length form, the block checksum and where blocks end.
#include "codec_test_util.h"

namespace zdx::test {
namespace {

TEST(BlockLoad, RunLengthForm) {
  struct Case {
    const char* name;
    Bytes source;
    Bytes block;
    std::vector<int> inUse;
  };
  const Case cases[] = {
      {"three singles", ToBytes("abc"), ToBytes("abc"), {'a', 'b', 'c'}},
      {"run of three", ToBytes("aaab"), ToBytes("aaab"), {'a', 'b'}},
      {"run of four", ToBytes("aaaa"), Cat({ToBytes("aaaa"), {0}}), {0, 'a'}},
      {"run of 255", Repeat(255, 'a'), Cat({ToBytes("aaaa"), {251}}), {'a', 251}},
      {"run of 256", Repeat(256, 'a'), Cat({ToBytes("aaaa"), {251}, ToBytes("a")}), {'a', 251}},
      {"run of 259",
       Repeat(259, 'a'),
       Cat({ToBytes("aaaa"), {251}, ToBytes("aaaa"), {0}}),
       {0, 'a', 251}},
      {"five then two",
       ToBytes("bbbbbcc"),
       Cat({ToBytes("bbbb"), {1}, ToBytes("cc")}),
       {1, 'b', 'c'}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoadedState st;
    MemoryIO io(c.source);
    initialiseCRC(st.s.globalCrc);
    loadAndRLEsource(st.s, io);
    EXPECT_EQ(st.Block(), c.block);
    EXPECT_EQ(getFinalCRC(st.s.globalCrc), Crc(c.source));
    std::vector<int> inUse;
    for (int v = 0; v < 256; ++v) {
      if (st.s.inUse[v]) inUse.push_back(v);
    }
    EXPECT_EQ(inUse, c.inUse);
    // The source is used up: the next block is empty and its checksum untouched.
    initialiseCRC(st.s.globalCrc);
    loadAndRLEsource(st.s, io);
    EXPECT_EQ(st.s.last, -1);
    EXPECT_EQ(st.s.globalCrc, 0xFFFFFFFFu);
  }
}

// Bytes without any run: i mod 251 never repeats a neighbour.
Bytes NoRuns(size_t n) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i % 251);
  return out;
}

TEST(BlockLoad, BlockEndsOnceItPassesTheLoadLimit) {
  const Bytes source = NoRuns(900100);
  LoadedState st;
  MemoryIO io(source);
  initialiseCRC(st.s.globalCrc);
  loadAndRLEsource(st.s, io);
  ASSERT_EQ(st.s.last, kBlockLoadLimit);
  EXPECT_EQ(getFinalCRC(st.s.globalCrc),
            Crc(Bytes(source.begin(), source.begin() + kBlockLoadLimit + 1)));
  initialiseCRC(st.s.globalCrc);
  loadAndRLEsource(st.s, io);
  EXPECT_EQ(st.Block(), Bytes(source.begin() + kBlockLoadLimit + 1, source.end()));
}

TEST(BlockLoad, PairIsNeverSplitAndTheRunGoesOnInTheNextBlock) {
  // 899,978 bytes, then a run of 300: its first 255 go whole into the first block.
  const Bytes source = Cat({NoRuns(899978), Repeat(300, 0xEE)});
  LoadedState st;
  MemoryIO io(source);
  initialiseCRC(st.s.globalCrc);
  loadAndRLEsource(st.s, io);
  EXPECT_EQ(st.s.last, 899982);
  initialiseCRC(st.s.globalCrc);
  loadAndRLEsource(st.s, io);
  EXPECT_EQ(st.Block(), (Bytes{0xEE, 0xEE, 0xEE, 0xEE, 41}));
  EXPECT_EQ(getFinalCRC(st.s.globalCrc), Crc(Repeat(45, 0xEE)));
}

}  // namespace
}  // namespace zdx::test
