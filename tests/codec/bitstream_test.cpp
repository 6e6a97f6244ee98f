// Bit order, the checksum and the smallest stream.
#include "codec_test_util.h"

namespace zdx::test {
namespace {

TEST(Checksum, CheckValueOfTheDigits) {
  EXPECT_EQ(Crc(ToBytes("123456789")), 0xFC891918u);
  EXPECT_EQ(Crc({}), 0u);
}

TEST(Checksum, CombinedCrcRotatesThenXors) {
  EXPECT_EQ(combineCRC(0, 0x12345678u), 0x12345678u);
  EXPECT_EQ(combineCRC(0x80000001u, 0x00000010u), 0x00000013u);
}

TEST(Stream, EmptyInputIsTheEndMarkerAndAZeroCrc) {
  const Bytes expected = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(ExpectRoundTrip({}), expected);
  const Expanded x = ExpandBytes(expected, 100);
  EXPECT_EQ(x.ok, 1);
  EXPECT_TRUE(x.out.empty());
}

TEST(BitWriter, TwentyFourBitsOnSevenPendingKeepsAllThirtyOne) {
  MemoryIO io({});
  CompressState s;
  bsSetStream(s, 1);
  bsW(s, io, 7, 0x55);       // 1010101
  bsW(s, io, 24, 0xABCDEF);  // 1010 1011 1100 1101 1110 1111
  EXPECT_EQ(s.bsLive, 31);
  EXPECT_EQ(io.ibuff2, 0u) << "whole bytes leave only at the next write";
  bsFinishedWithStream(s, io);
  io.FinalFlush();
  // 1010101 1 | 0101011 1 | 1001101 1 | 1101111 0(pad)
  EXPECT_EQ(io.out, (Bytes{0xAB, 0x57, 0x9B, 0xDE}));
}

TEST(BitReader, PastTheEndEveryBitIsOneAndNothingAdvances) {
  MemoryIO io({0x12});
  ExpandState s;
  EXPECT_EQ(bsR(s, io, 4), 0x1u);
  EXPECT_EQ(bsR(s, io, 8), 0x2Fu) << "the last real bits come first, then 1-bits";
  EXPECT_EQ(io.srccur, 1u);
  EXPECT_EQ(bsR(s, io, 24), 0xFFFFFFu);
  EXPECT_EQ(bsGetUInt32(s, io), 0xFFFFFFFFu);
  EXPECT_EQ(io.srccur, 1u);
  EXPECT_EQ(io.ibuff1, 1u);
}

TEST(BitReader, ReadsExactlyTheBytesItNeeds) {
  MemoryIO io({0xA5, 0x0F, 0xFF});
  ExpandState s;
  EXPECT_EQ(bsR(s, io, 1), 1u);
  EXPECT_EQ(io.srccur, 1u);
  EXPECT_EQ(bsR(s, io, 7), 0x25u);
  EXPECT_EQ(io.srccur, 1u);
  EXPECT_EQ(bsR(s, io, 9), 0x01Fu);
  EXPECT_EQ(io.srccur, 3u);
  EXPECT_EQ(s.bsLive, 7);
}

}  // namespace
}  // namespace zdx::test
