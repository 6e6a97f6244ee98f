// The delta filters: the stored bytes of each mode, and exact round trips through ReadSrc and
// WriteDst over real files, across chunk boundaries and with incomplete last samples.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "codec/codec_test_util.h"
#include "jobs/procstate.h"

namespace {

using zdx::test::Bytes;
using zdx::test::RandomBytes;

struct FilterCase {
  const char* name;
  uint8_t mode;
  Bytes input;
  Bytes stored;
};

const FilterCase kCases[] = {
    {"Mode2Bytes", 2, {0x10, 0x20, 0x25, 0x05}, {0x10, 0x10, 0x05, 0xE0}},
    {"Mode3Words", 3, {0x10, 0x00, 0x05, 0x00, 0x00, 0x01}, {0x10, 0x00, 0xF5, 0xFF, 0xFB, 0x00}},
    // Byte 2 is its own field: 0x0F - 0x10 = 0xFF, with no borrow from the 16-bit field.
    {"Mode4NoBorrowIntoByte2", 4, {0x00, 0x01, 0x10, 0xFF, 0x00, 0x0F}, {0x00, 0x01, 0x10, 0xFF, 0xFF, 0xFF}},
    {"Mode5TwoChannels", 5, {0x10, 0x00, 0x20, 0x00, 0x08, 0x00, 0x30, 0x00},
     {0x10, 0x00, 0x20, 0x00, 0xF8, 0xFF, 0x10, 0x00}},
    {"Mode1None", 1, {1, 2, 3}, {1, 2, 3}},
    {"Mode0None", 0, {1, 2, 3}, {1, 2, 3}},
};

class FilterExamples : public testing::TestWithParam<FilterCase> {};

TEST_P(FilterExamples, StoresTheDifferencesAndUndoesThem) {
  const FilterCase& c = GetParam();
  ProcState s;
  s.currOptim = c.mode;
  Bytes b = c.input;
  ForwardFilter(s, b.data(), static_cast<uint32_t>(b.size()), true);
  EXPECT_EQ(b, c.stored);

  ProcState r;
  r.currOptim = c.mode;
  r.bFirstWrite = true;
  InverseFilter(r, b.data(), static_cast<uint32_t>(b.size()));
  EXPECT_EQ(b, c.input);
}

INSTANTIATE_TEST_SUITE_P(Modes, FilterExamples, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SwapArray16, SwapsPairsAndLeavesAnOddLastByte) {
  unsigned char b[5] = {1, 2, 3, 4, 5};
  SwapArray16(b, 5);
  const unsigned char want[5] = {2, 1, 4, 3, 5};
  EXPECT_EQ(0, std::memcmp(b, want, 5));
}

// A temporary file with given contents, removed at the end of the test.
class TempFile {
 public:
  explicit TempFile(const Bytes& data) {
    char name[] = "/tmp/zdx-filter-XXXXXX";
    const int fd = mkstemp(name);
    path_ = name;
    file_ = fdopen(fd, "w+b");
    if (!data.empty()) std::fwrite(data.data(), 1, data.size(), file_);
    std::rewind(file_);
  }
  ~TempFile() {
    std::fclose(file_);
    std::remove(path_.c_str());
  }
  std::FILE* get() const { return file_; }
  Bytes Contents() const {
    std::fflush(file_);
    std::FILE* f = std::fopen(path_.c_str(), "rb");
    Bytes out;
    int c;
    while ((c = std::fgetc(f)) != EOF) out.push_back(static_cast<unsigned char>(c));
    std::fclose(f);
    return out;
  }

 private:
  std::string path_;
  std::FILE* file_;
};

// Reads `data` through ReadSrc with `mode` as a compression pass does, then writes the filtered
// bytes through WriteDst as an expansion does (flushes of whole chunks, the last one short).
Bytes RoundTripThroughChunks(const Bytes& data, uint8_t mode, Bytes* filtered = nullptr) {
  std::vector<unsigned char> b1(zdx::kChunkSize), b2(zdx::kChunkSize);
  TempFile in(data);
  ProcState s;
  s.Reset(b1.data(), b2.data());
  s.src = in.get();
  s.modeCompress = true;
  s.currOptim = mode;
  s.srclen = static_cast<uint32_t>(data.size());
  s.nSrcLeft = data.size();
  Bytes mid;
  ReadSrc(s, 1);
  for (int c; (c = GetChFromBuff1U(s)) >= 0;) mid.push_back(static_cast<unsigned char>(c));
  EXPECT_FALSE(s.bFailed);
  if (filtered) *filtered = mid;

  TempFile out({});
  ProcState e;
  e.Reset(b1.data(), b2.data());
  e.dst = out.get();
  e.currOptim = mode;
  e.bFirstWrite = true;
  e.dstlen = static_cast<uint32_t>(mid.size());
  for (unsigned char c : mid) PutChToBuff2(e, c);
  WriteDst(e);
  EXPECT_FALSE(e.bFailed);
  return out.Contents();
}

TEST(FilterRoundTrip, EveryModeAndAwkwardSize) {
  // Sizes that are no multiple of 2, 3 or 4, that end one byte into a second chunk, that fill
  // a chunk exactly, and that are smaller than one sample.
  const size_t sizes[] = {1, 2, 3, 5, 1001, zdx::kChunkSize, zdx::kChunkSize + 1, 2 * zdx::kChunkSize + 7};
  for (uint8_t mode = 0; mode <= 5; ++mode) {
    for (size_t n : sizes) {
      const Bytes data = RandomBytes(n, static_cast<unsigned>(n * 7 + mode));
      EXPECT_EQ(RoundTripThroughChunks(data, mode), data) << "mode " << int(mode) << " size " << n;
    }
  }
}

TEST(FilterRoundTrip, CarryRunsAcrossTheChunkBoundary) {
  Bytes data(zdx::kChunkSize + 2, 0);
  data[zdx::kChunkSize - 1] = 0x40;
  data[zdx::kChunkSize] = 0x45;
  Bytes filtered;
  EXPECT_EQ(RoundTripThroughChunks(data, 2, &filtered), data);
  EXPECT_EQ(filtered[zdx::kChunkSize], 0x05);  // the difference from the previous chunk's last byte
}

TEST(ReadSrc, AnExactChunkReadsTwiceAndPostsBoth) {
  std::vector<unsigned char> b1(zdx::kChunkSize), b2(zdx::kChunkSize);
  TempFile in(Bytes(zdx::kChunkSize, 7));
  ProcState s;
  s.Reset(b1.data(), b2.data());
  s.src = in.get();
  s.modeCompress = true;
  s.currOptim = 1;
  s.srclen = zdx::kChunkSize;
  s.nSrcLeft = zdx::kChunkSize;
  ReadSrc(s, 1);
  while (GetChFromBuff1U(s) >= 0) {
  }
  EXPECT_EQ(s.progress, 2);  // the eager refill after the last byte reads nothing and still counts
  EXPECT_FALSE(s.bFailed);
}

TEST(ReadSrc, AShortReadFailsTheJob) {
  std::vector<unsigned char> b1(zdx::kChunkSize), b2(zdx::kChunkSize);
  TempFile in(Bytes(100, 1));
  ProcState s;
  s.Reset(b1.data(), b2.data());
  s.src = in.get();
  s.modeCompress = true;
  s.srclen = 200;  // the file shrank after it was measured
  s.nSrcLeft = 200;
  ReadSrc(s, 1);
  EXPECT_TRUE(s.bFailed);
  EXPECT_EQ(s.nError, JobError::ReadInput);
}

TEST(PutChToBuff2, DropsBytesBeyondTheBound) {
  std::vector<unsigned char> b1(zdx::kChunkSize), b2(zdx::kChunkSize);
  ProcState s;
  s.Reset(b1.data(), b2.data());
  s.dstlen = 2;
  for (int c = 0; c < 5; ++c) PutChToBuff2(s, c);
  EXPECT_EQ(s.dstcur, 2u);
  EXPECT_EQ(s.ibuff2, 2u);
}

}  // namespace
