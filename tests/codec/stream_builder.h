// Builds streams field by field for the reader tests. The defaults describe a valid one-block
// stream of the single byte 'a'; a test changes the one field it is about. The builder has its
// own canonical code assignment and run-digit spelling, so it does not lean on the writer.
#pragma once

#include <string>
#include <vector>

#include "codec_test_util.h"

namespace zdx::test {

// Where WriteBlock may stop, to model a stream that ends early.
enum class StopAfter { Nothing, BlockCrc, SelectorCount, Selectors, CodeLengths };

struct BlockFields {
  uint32_t blockCrc = Crc(ToBytes("a"));
  int randomised = 0;
  uint32_t origPtr = 0;
  std::vector<int> bytesInUse = {'a'};  // ascending
  int tableCount = 2;
  int selectorCount = -1;  // -1: the number of entries of selectorMtf
  std::vector<int> selectorMtf = {0};
  std::vector<int> startLens;  // 5-bit starting value per table; empty: each table's first length
  std::vector<std::vector<int>> lengths = {{2, 2, 1}, {2, 2, 1}};
  std::vector<int> symbols = {kRunA, 2};  // one run digit (a run of 1), then the end of block
  std::string symbolBits;                 // when set, written instead of coding `symbols`
  StopAfter stop = StopAfter::Nothing;
};

// Canonical codes: shorter first, then by symbol.
inline std::vector<std::string> CanonicalCodes(const std::vector<int>& lengths) {
  std::vector<std::string> codes(lengths.size());
  uint32_t next = 0;
  for (int len = 1; len <= 32; ++len) {
    for (size_t s = 0; s < lengths.size(); ++s) {
      if (lengths[s] != len) continue;
      for (int b = len - 1; b >= 0; --b) codes[s] += ((next >> b) & 1) ? '1' : '0';
      ++next;
    }
    next <<= 1;
  }
  return codes;
}

// The run digits of a run of k zero positions: k in bijective base 2, least significant first.
inline std::vector<int> RunDigits(uint32_t k) {
  std::vector<int> digits;
  while (k > 0) {
    const uint32_t digit = (k % 2 == 1) ? 1 : 2;
    digits.push_back(digit == 1 ? kRunA : kRunB);
    k = (k - digit) / 2;
  }
  return digits;
}

inline void WriteBlock(BitWriter& w, const BlockFields& f) {
  w.PutMarker(kBlockMarker);  // block marker
  w.Put(32, f.blockCrc);      // block CRC
  if (f.stop == StopAfter::BlockCrc) return;
  w.Put(1, f.randomised);  // randomised flag
  w.Put(24, f.origPtr);    // origPtr
  int groupMap = 0;        // group map: which groups of 16 byte values have a byte map
  for (int v : f.bytesInUse) groupMap |= 0x8000 >> (v / 16);
  w.Put(16, groupMap);
  for (int g = 0; g < 16; ++g) {  // byte maps
    if ((groupMap & (0x8000 >> g)) == 0) continue;
    int map = 0;
    for (int v : f.bytesInUse) {
      if (v / 16 == g) map |= 0x8000 >> (v % 16);
    }
    w.Put(16, map);
  }
  w.Put(3, f.tableCount);  // table count
  w.Put(15, f.selectorCount >= 0 ? f.selectorCount : static_cast<int>(f.selectorMtf.size()));
  if (f.stop == StopAfter::SelectorCount) return;
  for (int j : f.selectorMtf) {  // selectors, move-to-front coded
    for (int k = 0; k < j; ++k) w.PutBits("1");
    w.PutBits("0");
  }
  if (f.stop == StopAfter::Selectors) return;
  for (size_t t = 0; t < f.lengths.size(); ++t) {  // code lengths
    int curr = t < f.startLens.size() ? f.startLens[t] : f.lengths[t][0];
    w.Put(5, static_cast<uint64_t>(curr) & 31);
    for (int len : f.lengths[t]) {
      for (; curr < len; ++curr) w.PutBits("10");
      for (; curr > len; --curr) w.PutBits("11");
      w.PutBits("0");
    }
  }
  if (f.stop == StopAfter::CodeLengths) return;
  if (!f.symbolBits.empty()) {  // symbols, as given
    w.PutBits(f.symbolBits);
    return;
  }
  // Symbols, each group of 50 coded with the table its selector names.
  std::vector<int> mtf;
  for (int t = 0; t < f.tableCount && t < 8; ++t) mtf.push_back(t);
  std::vector<int> tables;
  for (int j : f.selectorMtf) {
    const int t = j < static_cast<int>(mtf.size()) ? mtf[j] : 0;
    if (j < static_cast<int>(mtf.size())) {
      mtf.erase(mtf.begin() + j);
      mtf.insert(mtf.begin(), t);
    }
    tables.push_back(t);
  }
  std::vector<std::vector<std::string>> codes;
  for (const auto& lens : f.lengths) codes.push_back(CanonicalCodes(lens));
  for (size_t i = 0; i < f.symbols.size(); ++i) {
    const size_t group = std::min(i / kGroupSize, tables.size() - 1);
    w.PutBits(codes[tables[group]][f.symbols[i]]);
  }
}

inline void WriteEnd(BitWriter& w, uint32_t combinedCrc) {
  w.PutMarker(kEndMarker);  // end marker
  w.Put(32, combinedCrc);   // combined CRC
}

// One block and the end of the stream, the combined CRC being the block's CRC.
inline Bytes OneBlockStream(const BlockFields& f) {
  BitWriter w;
  WriteBlock(w, f);
  if (f.stop == StopAfter::Nothing) WriteEnd(w, f.blockCrc);
  return w.Finish();
}

}  // namespace zdx::test
