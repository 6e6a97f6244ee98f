// Symbol coding: zero-run digits both ways, code lengths, canonical codes and their decoding
// tables, and how many tables and selectors a block gets.
#include "codec_test_util.h"
#include "stream_builder.h"

namespace zdx::test {
namespace {

// The digits of runs of 1 to 7 zero positions.
const std::vector<std::vector<int>> kRunDigits = {
    {}, {0}, {1}, {0, 0}, {1, 0}, {0, 1}, {1, 1}, {0, 0, 0},
};

// The symbols the encoder gives a block of k equal bytes: one run of k, then the end of block.
std::vector<int> EncodeRun(uint32_t k) {
  LoadedState st;
  CompressState& s = st.s;
  s.inUse['a'] = true;
  s.last = static_cast<int32_t>(k) - 1;
  for (int32_t i = -1; i <= s.last; ++i) s.block[i] = 'a';
  for (int32_t i = 0; i <= s.last; ++i) s.zptr[i] = i;
  generateMTFValues(s);
  return std::vector<int>(s.szptr, s.szptr + s.nMTF);
}

// Decodes a one-table block of 'a' whose symbols are `symbols`; returns the decoder's result.
int DecodeSymbols(const std::vector<int>& symbols, DecodeState& st) {
  BlockFields f;
  f.symbols = symbols;
  f.selectorMtf = std::vector<int>((symbols.size() + 49) / 50, 0);
  MemoryIO io(OneBlockStream(f));
  st.SkipBlockHeader(io);
  return getAndMoveToFrontDecode(st.s, io);
}

TEST(ZeroRuns, DigitsOfShortRuns) {
  for (uint32_t k = 1; k <= 7; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(RunDigits(k), kRunDigits[k]);  // the test builder agrees with the table
    std::vector<int> expected = kRunDigits[k];
    expected.push_back(2);  // end of block: nInUse + 1
    EXPECT_EQ(EncodeRun(k), expected);
  }
}

TEST(ZeroRuns, BothWaysUpToTheBlockLimit) {
  for (uint32_t k : {1u, 2u, 3u, 8u, 50u, 255u, 1000u, 65537u, 900000u}) {
    SCOPED_TRACE(k);
    std::vector<int> symbols = RunDigits(k);
    symbols.push_back(2);
    EXPECT_EQ(EncodeRun(k), symbols);
    DecodeState st;
    ASSERT_EQ(DecodeSymbols(symbols, st), 1);
    EXPECT_EQ(st.s.last, static_cast<int32_t>(k) - 1);
    EXPECT_EQ(st.s.unzftab['a'], static_cast<int32_t>(k));
    EXPECT_TRUE(std::all_of(st.s.ll8, st.s.ll8 + k, [](uint8_t b) { return b == 'a'; }));
  }
}

TEST(ZeroRuns, OneEntryPastTheBlockLimitFails) {
  std::vector<int> symbols = RunDigits(900001);
  symbols.push_back(2);
  DecodeState st;
  EXPECT_EQ(DecodeSymbols(symbols, st), 0);
}

int KraftSum(const uint8_t* len, int n, int maxLen) {
  int sum = 0;
  for (int i = 0; i < n; ++i) sum += 1 << (maxLen - len[i]);
  return sum;
}

TEST(CodeLengths, SmallTablesAndTheDepthTieRule) {
  struct Case {
    std::vector<int32_t> freq;
    std::vector<int> lengths;
  };
  const Case cases[] = {
      {{1, 0, 1}, {2, 2, 1}},
      {{0, 0, 0}, {2, 2, 1}},
      {{2, 0, 1}, {1, 2, 2}},
      {{1, 1, 1, 1}, {2, 2, 2, 2}},
      // The two leaves of weight 1 merge into a subtree of weight 2; of the three subtrees of
      // weight 2 the two shallow leaves are merged first, so every code has two bits.
      {{2, 1, 1, 2}, {2, 2, 2, 2}},
      {{8, 4, 2, 1, 1}, {1, 2, 3, 4, 4}},
  };
  for (const Case& c : cases) {
    uint8_t len[kMaxAlphaSize] = {};
    hbMakeCodeLengths(len, c.freq.data(), static_cast<int>(c.freq.size()), kMaxCodeLen);
    EXPECT_EQ(std::vector<int>(len, len + c.freq.size()), c.lengths);
  }
}

TEST(CodeLengths, LimitIsKeptByHalving) {
  // Fibonacci counts give a code of 27 bits; together they are 832,039, about one full block.
  std::vector<int32_t> freq(29, 0);
  int32_t a = 1, b = 1;
  for (auto& f : freq) {
    f = a;
    const int32_t t = a + b;
    a = b;
    b = t;
  }
  freq.back() = 1;  // the end-of-block symbol
  uint8_t len[kMaxAlphaSize] = {};
  hbMakeCodeLengths(len, freq.data(), static_cast<int>(freq.size()), kMaxCodeLen);
  for (size_t i = 0; i < freq.size(); ++i) {
    EXPECT_GE(len[i], 1);
    EXPECT_LE(len[i], kMaxCodeLen);
  }
  EXPECT_EQ(KraftSum(len, static_cast<int>(freq.size()), kMaxCodeLen), 1 << kMaxCodeLen);

  // The largest alphabet with no counts at all still gets a complete code.
  const std::vector<int32_t> none(kMaxAlphaSize, 0);
  hbMakeCodeLengths(len, none.data(), kMaxAlphaSize, kMaxCodeLen);
  EXPECT_EQ(KraftSum(len, kMaxAlphaSize, kMaxCodeLen), 1 << kMaxCodeLen);
}

TEST(CanonicalCodes, AssignedAndDecodedBack) {
  struct Case {
    std::vector<uint8_t> lengths;
    std::vector<int32_t> codes;
  };
  const Case cases[] = {
      {{2, 2, 2, 2}, {0, 1, 2, 3}},
      {{1, 2, 3, 3}, {0, 2, 6, 7}},
      {{3, 1, 3, 2}, {6, 0, 7, 2}},
      {{2, 2, 1}, {2, 3, 0}},
  };
  for (const Case& c : cases) {
    const int n = static_cast<int>(c.lengths.size());
    const int lo = *std::min_element(c.lengths.begin(), c.lengths.end());
    const int hi = *std::max_element(c.lengths.begin(), c.lengths.end());
    int32_t code[kMaxAlphaSize] = {};
    hbAssignCodes(code, c.lengths.data(), lo, hi, n);
    EXPECT_EQ(std::vector<int32_t>(code, code + n), c.codes);

    int32_t limit[kMaxAlphaSize], base[kMaxAlphaSize], perm[kMaxAlphaSize];
    hbCreateDecodeTables(limit, base, perm, c.lengths.data(), lo, hi, n);
    for (int sym = 0; sym < n; ++sym) {
      const int len = c.lengths[static_cast<size_t>(sym)];
      // The search passes every shorter length and stops at the code's own.
      for (int l = lo; l < len; ++l)
        EXPECT_GT(c.codes[static_cast<size_t>(sym)] >> (len - l), limit[l]);
      EXPECT_LE(c.codes[static_cast<size_t>(sym)], limit[len]);
      EXPECT_EQ(perm[c.codes[static_cast<size_t>(sym)] - base[len]], sym);
    }
  }
}

// A table with every code length from 1 to 20: codes up to the lookup width are decoded by one
// lookup, longer ones go on bit by bit. The result is checked against a plain model of the
// zero-run and move-to-front decoding.
TEST(CanonicalCodes, EveryLengthUpToTwentyDecodes) {
  BlockFields f;
  f.bytesInUse.clear();
  for (int v = 'a'; v <= 's'; ++v) f.bytesInUse.push_back(v);  // 19 values: 21 symbols
  std::vector<int> lengths;
  for (int len = 1; len <= 20; ++len) lengths.push_back(len);
  lengths.push_back(20);
  f.tableCount = 1;
  f.lengths = {lengths};
  f.symbols = {kRunA, kRunB};
  for (int sym = 2; sym <= 19; ++sym) f.symbols.push_back(sym);
  f.symbols.push_back(kRunB);
  for (int sym = 19; sym >= 2; --sym) f.symbols.push_back(sym);
  f.symbols.push_back(20);  // end of block
  f.selectorMtf = std::vector<int>((f.symbols.size() + 49) / 50, 0);

  // The model: runs repeat the front of the list, other symbols move entry sym - 1 to the front.
  Bytes expected;
  std::vector<int> list;
  for (int i = 0; i < 19; ++i) list.push_back(i);
  int64_t run = 0, weight = 1;
  for (int sym : f.symbols) {
    if (sym == kRunA || sym == kRunB) {
      run += (sym == kRunA ? 1 : 2) * weight;
      weight *= 2;
      continue;
    }
    expected.insert(expected.end(), static_cast<size_t>(run), static_cast<uint8_t>('a' + list[0]));
    run = 0;
    weight = 1;
    if (sym == 20) break;
    const int v = list[static_cast<size_t>(sym - 1)];
    list.erase(list.begin() + (sym - 1));
    list.insert(list.begin(), v);
    expected.push_back(static_cast<uint8_t>('a' + v));
  }

  DecodeState st;
  MemoryIO io(OneBlockStream(f));
  st.SkipBlockHeader(io);
  ASSERT_EQ(getAndMoveToFrontDecode(st.s, io), 1);
  EXPECT_EQ(Bytes(st.s.ll8, st.s.ll8 + st.s.last + 1), expected);
  // The reader stops right after the last code: the end marker comes next.
  EXPECT_EQ(bsR(st.s, io, 24), 0x177245u);
}

TEST(Tables, CountAndSelectorsFollowTheSymbolCount) {
  struct Case {
    int32_t nMTF;
    int tables;
    int selectors;
  };
  const Case cases[] = {{50, 2, 1},   {51, 2, 2},   {199, 2, 4},  {200, 4, 4},
                        {799, 4, 16}, {800, 6, 16}, {2000, 6, 40}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nMTF);
    LoadedState st;
    CompressState& s = st.s;
    s.inUse['a'] = true;
    makeMaps(s);
    for (int32_t i = 0; i < c.nMTF - 1; ++i) s.szptr[i] = static_cast<uint16_t>(i % 2);
    s.szptr[c.nMTF - 1] = 2;
    for (int32_t& f : s.mtfFreq) f = 0;
    for (int32_t i = 0; i < c.nMTF; ++i) ++s.mtfFreq[s.szptr[i]];
    s.nMTF = c.nMTF;
    MemoryIO out({});
    bsSetStream(s, 1);
    sendMTFValues(s, out);
    bsFinishedWithStream(s, out);
    out.FinalFlush();

    ExpandState x;
    MemoryIO in(out.out);
    EXPECT_EQ(bsR(x, in, 16), 0x0200u);  // group map: 'a' is in group 6
    EXPECT_EQ(bsR(x, in, 16), 0x4000u);  // byte map: 'a' is value 1 of the group
    EXPECT_EQ(static_cast<int>(bsR(x, in, 3)), c.tables);
    EXPECT_EQ(static_cast<int>(bsR(x, in, 15)), c.selectors);
  }
}

}  // namespace
}  // namespace zdx::test
