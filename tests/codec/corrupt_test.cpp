// Damaged and hostile streams, each built field by field from the valid stream of "a" with one
// field made bad. Every one must fail the expansion as damaged, within bounds and promptly.
#include <functional>

#include "codec_test_util.h"
#include "stream_builder.h"

namespace zdx::test {
namespace {

struct Fault {
  const char* name;
  std::function<void(BlockFields&)> damage;
};

// The valid stream, for reference: it expands to "a".
TEST(Corrupt, TheUndamagedFixtureExpands) {
  const Expanded x = ExpandBytes(OneBlockStream({}), 10);
  EXPECT_EQ(x.ok, 1);
  EXPECT_EQ(x.out, ToBytes("a"));
}

TEST(Corrupt, EveryFaultFailsTheBlock) {
  const Fault faults[] = {
      {"NoByteValueInUse", [](BlockFields& f) { f.bytesInUse = {}; }},
      {"TableCountZero", [](BlockFields& f) { f.tableCount = 0; }},
      {"TableCountSeven", [](BlockFields& f) { f.tableCount = 7; }},
      {"SelectorCountZero", [](BlockFields& f) { f.selectorCount = 0; }},
      {"SelectorCountAbove18002", [](BlockFields& f) { f.selectorCount = kMaxSelectors + 1; }},
      {"SelectorNotBelowTableCount", [](BlockFields& f) { f.selectorMtf = {2}; }},
      {"SelectorOnesUntilTheStreamEnds", [](BlockFields& f) { f.stop = StopAfter::SelectorCount; }},
      {"StartingCodeLengthZero", [](BlockFields& f) { f.startLens = {0}; }},
      {"StartingCodeLength21", [](BlockFields& f) { f.startLens = {21}; }},
      {"CodeLengthStepsBelowOne",
       [](BlockFields& f) {
         f.lengths[0] = {2, 0, 1};
       }},
      {"CodeLengthStepsAbove20",
       [](BlockFields& f) {
         f.lengths[1] = {20, 21, 20};
       }},
      {"CodeLengthsUntilTheStreamEnds", [](BlockFields& f) { f.stop = StopAfter::Selectors; }},
      // Lengths 2, 2, 2 leave the code 11 unused: its search runs past the longest length.
      {"CodeSearchPassesTheLongestLength",
       [](BlockFields& f) {
         f.lengths[0] = {2, 2, 2};
         f.symbolBits = "11";
       }},
      {"MoreGroupsThanSelectors",
       [](BlockFields& f) {
         f.bytesInUse = {'a', 'b'};
         f.lengths = {{2, 2, 2, 2}, {2, 2, 2, 2}};
         f.symbols = std::vector<int>(51, 2);  // 51 move-to-front symbols need two groups
         f.symbols.push_back(3);
       }},
      {"RunLengthOverflows",
       [](BlockFields& f) {
         f.symbols = std::vector<int>(40, kRunB);  // weights up to 2^40
         f.symbols.push_back(2);
       }},
      {"BlockTooLong",
       [](BlockFields& f) {
         f.symbols = RunDigits(kMaxCodedBlock + 1);
         f.symbols.push_back(2);
       }},
      {"OrigPtrAboveLast", [](BlockFields& f) { f.origPtr = 1; }},
      {"OrigPtrFarOutside", [](BlockFields& f) { f.origPtr = 0xFFFFFF; }},
      {"EmptyBlock", [](BlockFields& f) { f.symbols = {2}; }},
      {"BlockCrcMismatch", [](BlockFields& f) { f.blockCrc ^= 1; }},
      {"StreamEndsAfterTheBlockCrc", [](BlockFields& f) { f.stop = StopAfter::BlockCrc; }},
      {"StreamEndsAfterTheCodeLengths", [](BlockFields& f) { f.stop = StopAfter::CodeLengths; }},
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.name);
    BlockFields f;
    fault.damage(f);
    const Expanded x = ExpandBytes(OneBlockStream(f), 1000);
    EXPECT_EQ(x.ok, 0);
    EXPECT_EQ(x.error, CodecError::Damaged);
    EXPECT_LE(x.out.size(), 1000u);
  }
}

TEST(Corrupt, BadMarkersAndEndFields) {
  struct Case {
    const char* name;
    std::function<void(BitWriter&)> write;
  };
  const Case cases[] = {
      {"FirstByteIsNeitherMarker", [](BitWriter& w) { w.Put(48, 0x324159265359ull); }},
      {"BlockMarkerLastByteWrong", [](BitWriter& w) { w.Put(48, 0x314159265358ull); }},
      {"EndMarkerLastByteWrong",
       [](BitWriter& w) {
         w.Put(48, 0x177245385091ull);  // end marker, last byte wrong
         w.Put(32, 0);                  // combined CRC
       }},
      {"CombinedCrcMismatch",
       [](BitWriter& w) {
         WriteBlock(w, BlockFields{});                  // block of "a"
         WriteEnd(w, Crc(ToBytes("a")) ^ 0x80000000u);  // combined CRC, top bit wrong
       }},
      {"EndMarkerMissingAfterABlock", [](BitWriter& w) { WriteBlock(w, BlockFields{}); }},
      {"EmptyPayload", [](BitWriter&) {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BitWriter w;
    c.write(w);
    const Expanded x = ExpandBytes(w.Finish(), 1000);
    EXPECT_EQ(x.ok, 0);
    EXPECT_EQ(x.error, CodecError::Damaged);
  }
}

// A table may mix its length steps freely and start anywhere in 1..20; the writer never does, but
// the stream is still valid.
TEST(Corrupt, LooseButValidFieldsAreAccepted) {
  BlockFields f;
  f.tableCount = 1;
  f.lengths = {{2, 2, 1}};
  f.startLens = {7};
  const Expanded x = ExpandBytes(OneBlockStream(f), 10);
  EXPECT_EQ(x.ok, 1);
  EXPECT_EQ(x.out, ToBytes("a"));

  // Every code longer than the decoder's lookup: the search starts at the shortest length.
  BlockFields longOnly;
  longOnly.lengths = {{12, 12, 12}, {12, 12, 12}};
  const Expanded z = ExpandBytes(OneBlockStream(longOnly), 10);
  EXPECT_EQ(z.ok, 1);
  EXPECT_EQ(z.out, ToBytes("a"));

  // Mixed steps: from 2, up and down again before the 0-bit.
  BitWriter w;
  BlockFields g;
  g.stop = StopAfter::Selectors;
  WriteBlock(w, g);
  for (int t = 0; t < 2; ++t) {
    w.Put(5, 2);              // starting length 2
    w.PutBits("10 11 0");     // symbol 0: +1 -1, length 2
    w.PutBits("0");           // symbol 1: length 2
    w.PutBits("11 10 11 0");  // symbol 2: -1 +1 -1, length 1
  }
  w.PutBits("10 0");  // symbols: RUNA, EOB
  WriteEnd(w, Crc(ToBytes("a")));
  const Expanded y = ExpandBytes(w.Finish(), 10);
  EXPECT_EQ(y.ok, 1);
  EXPECT_EQ(y.out, ToBytes("a"));
}

}  // namespace
}  // namespace zdx::test
