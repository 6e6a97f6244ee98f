// The codec and the job driver on several threads: the stream is the one-thread stream, byte for
// byte, for every kind of block sequence, and expansion on several threads puts out the same
// bytes and fails on the same damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "codec/codec_test_util.h"
#include "codec/stream_builder.h"
#include "common/job_fixture.h"
#include "jobs/process.h"
#include "jobs/requests.h"

namespace fs = std::filesystem;

namespace {

using zdx::test::Bytes;
using zdx::test::RandomBytes;
using zdx::test::WriteFile;

// Restores the engine-wide thread count when a test ends.
class ThreadCount {
 public:
  ThreadCount() = default;
  ~ThreadCount() { SetEngineThreads(0); }
  void Set(unsigned n) { SetEngineThreads(n); }
};

// Every 256-byte period: sorting it passes the effort bound, so its block is randomised.
Bytes Periodic256(size_t periods) {
  Bytes b;
  for (size_t p = 0; p < periods; ++p)
    for (int v = 0; v < 256; ++v) b.push_back(static_cast<uint8_t>(v));
  return b;
}

// The randomised flag of each block: the bit after a block marker and its checksum, found at
// any bit offset (blocks are not byte-aligned).
std::vector<int> RandomisedFlags(const Bytes& stream) {
  std::vector<int> flags;
  const uint64_t marker = 0x314159265359ull;
  const size_t nBits = stream.size() * 8;
  auto bit = [&](size_t i) { return (stream[i / 8] >> (7 - i % 8)) & 1; };
  uint64_t window = 0;
  for (size_t i = 0; i < nBits; ++i) {
    window = ((window << 1) | static_cast<uint64_t>(bit(i))) & ((1ull << 48) - 1);
    if (i >= 47 && window == marker && i + 33 < nBits) flags.push_back(bit(i + 33));
  }
  return flags;
}

// Blocks hold about 900 KB of run-length form; random bytes have no runs and sort fast.
struct StreamCase {
  const char* name;
  Bytes (*make)();
  size_t nBlocks;
  bool randomised;  // some block is randomised
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

const StreamCase kStreamCases[] = {
    {"one block", [] { return RandomBytes(150000, 1); }, 1, false},
    {"two blocks", [] { return RandomBytes(1100000, 2); }, 2, false},
    {"three blocks", [] { return RandomBytes(1900000, 3); }, 3, false},
    {"randomised block after a normal one",
     [] { return zdx::test::Cat({RandomBytes(950000, 4), Periodic256(1000), RandomBytes(100000, 5)}); }, 2,
     true},
    {"runs and text across blocks",
     [] {
       Bytes b;
       for (int i = 0; i < 40; ++i)
         b = zdx::test::Cat({b, RandomBytes(30000, 10 + i), zdx::test::Repeat(20000 + i, 'x')});
       return b;
     },
     2, false},
};

class StreamTest : public testing::TestWithParam<StreamCase> {};

TEST_P(StreamTest, ParallelStreamIsTheSingleThreadStreamAndExpandsBack) {
  const StreamCase& c = GetParam();
  const Bytes in = c.make();
  ThreadCount threads;
  threads.Set(1);
  const zdx::test::Compressed one = zdx::test::CompressBytes(in);
  ASSERT_EQ(one.ok, 1);
  const std::vector<int> flags = RandomisedFlags(one.stream);
  ASSERT_EQ(flags.size(), c.nBlocks);
  EXPECT_EQ(std::count(flags.begin(), flags.end(), 1) > 0, c.randomised);

  for (unsigned n : {2u}) {
    threads.Set(n);
    const zdx::test::Compressed many = zdx::test::CompressBytes(in);
    EXPECT_EQ(many.ok, 1) << n << " threads";
    EXPECT_FALSE(many.bContractBroken);
    EXPECT_EQ(many.srccur, in.size());
    EXPECT_TRUE(many.stream == one.stream) << n << " threads";
  }
  for (unsigned n : {2u, 3u}) {  // one walker; two, taking blocks side by side
    threads.Set(n);
    const zdx::test::Expanded back = zdx::test::ExpandBytes(one.stream, static_cast<uint32_t>(in.size()));
    EXPECT_EQ(back.ok, 1) << n << " threads";
    EXPECT_FALSE(back.bContractBroken);
    EXPECT_EQ(back.srccur, one.stream.size());  // nothing after the stream is read
    EXPECT_TRUE(back.out == in) << n << " threads";
  }
}

INSTANTIATE_TEST_SUITE_P(Threads, StreamTest, testing::ValuesIn(kStreamCases),
                         [](const auto& info) {
                           std::string n = info.param.name;
                           for (char& ch : n) if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

// Damage in the middle block of three fails expansion on one thread and on two alike, after
// putting out the same bytes; so does a stream cut short and a bad combined checksum.
TEST(ThreadsExpand, DamageFailsInBothPaths) {
  const Bytes in = RandomBytes(1900000, 7);
  ThreadCount threads;
  threads.Set(1);
  const Bytes stream = zdx::test::CompressBytes(in).stream;
  ASSERT_EQ(RandomisedFlags(stream).size(), 3u);

  struct Damage {
    const char* name;
    Bytes stream;
  };
  std::vector<Damage> cases;
  Bytes flipped = stream;
  flipped[stream.size() / 2] ^= 0x10;
  cases.push_back({"flipped byte in block 2", flipped});
  cases.push_back({"cut in block 2", Bytes(stream.begin(), stream.begin() + stream.size() / 2)});
  Bytes badTotal = stream;
  badTotal[badTotal.size() - 2] ^= 0x01;  // inside the combined checksum
  cases.push_back({"bad combined checksum", badTotal});

  for (const Damage& d : cases) {
    threads.Set(1);
    const zdx::test::Expanded one = zdx::test::ExpandBytes(d.stream, static_cast<uint32_t>(in.size()));
    EXPECT_EQ(one.ok, 0) << d.name;
    EXPECT_EQ(one.error, CodecError::Damaged) << d.name;
    for (unsigned n : {2u, 3u}) {
      threads.Set(n);
      const zdx::test::Expanded many = zdx::test::ExpandBytes(d.stream, static_cast<uint32_t>(in.size()));
      EXPECT_EQ(many.ok, 0) << d.name << ", " << n << " threads";
      EXPECT_EQ(many.error, CodecError::Damaged) << d.name << ", " << n << " threads";
      EXPECT_TRUE(one.out == many.out) << d.name << ", " << n << " threads";
    }
  }
}

// A block whose run-length form ends on the fourth byte of a run takes the run's length from the
// entry after its last, where the walk goes on round the block: "aaaa" walks on to its first 'a'
// (97), so it stands for 101 bytes. The compressor never writes such a block, but its checksums
// can say so; every thread count must read it alike. Zeros after the stream make it long enough
// for the threaded path.
TEST(ThreadsExpand, BlockEndingOnTheFourthByteOfARunTakesTheNextEntryAsItsLength) {
  using namespace zdx::test;
  const Bytes expected = Repeat(101, 'a');
  BlockFields f;
  f.symbols = RunDigits(4);
  f.symbols.push_back(2);  // end of block
  f.blockCrc = Crc(expected);
  const Bytes stream = Cat({OneBlockStream(f), Bytes(100000, 0)});
  ThreadCount threads;
  for (unsigned n : {1u, 2u, 3u}) {
    threads.Set(n);
    const Expanded x = ExpandBytes(stream, static_cast<uint32_t>(expected.size()));
    EXPECT_EQ(x.ok, 1) << n << " threads";
    EXPECT_TRUE(x.out == expected) << n << " threads";
  }
}

// A refill or a flush that fails stops a parallel call, which reports the failure as such.
TEST(ThreadsIo, FailingHookStopsBothDirections) {
  const Bytes in = RandomBytes(1100000, 8);
  ThreadCount threads;
  threads.Set(2);
  {
    MemoryIO io(in);
    io.nFailAtRefill = 3;
    CodecError why = CodecError::None;
    EXPECT_EQ(Compress(io, &why), 0);
    EXPECT_EQ(why, CodecError::Io);
  }
  const Bytes stream = zdx::test::CompressBytes(in).stream;
  for (bool failRefill : {true, false}) {
    MemoryIO io(stream, static_cast<uint32_t>(in.size()));
    (failRefill ? io.nFailAtRefill : io.nFailAtFlush) = 2;
    CodecError why = CodecError::None;
    EXPECT_EQ(Extract(io, &why), 0) << failRefill;
    EXPECT_EQ(why, CodecError::Io) << failRefill;
  }
}

// After a failed write the compressor stops at the block it is writing, on any thread count: the
// blocks other workers have coded are not written after it.
TEST(ThreadsIo, FailedFlushStopsCompressionAtTheBlockBeingWritten) {
  const Bytes in = RandomBytes(1900000, 11);
  ThreadCount threads;
  int flushesOnOne = -1;
  for (unsigned n : {1u, 2u, 3u}) {
    threads.Set(n);
    MemoryIO io(in);
    io.nFailAtFlush = 1;
    CodecError why = CodecError::None;
    EXPECT_EQ(Compress(io, &why), 0) << n << " threads";
    EXPECT_EQ(why, CodecError::Io) << n << " threads";
    if (n == 1) flushesOnOne = io.nFlushes;
    EXPECT_EQ(io.nFlushes, flushesOnOne) << n << " threads";
  }
}

// The job driver, filter selection included, writes the same container on one thread and on
// two, for inputs that choose each kind of filter.
class JobThreads : public zdx::test::JobFixture {
 protected:
  // Compresses `path` and returns its container.
  Bytes RunJob(const fs::path& path) {
    EXPECT_EQ(Run(path).State(), kStateCompressed);
    return zdx::test::ReadFile(fs::path(path).replace_extension(".zdx"));
  }
};

// Samples of `size` bytes whose fields climb slowly, so the matching delta filter wins.
Bytes Ramp(size_t n, unsigned size) {
  Bytes b(n);
  std::mt19937 rng(size);
  for (size_t i = 0; i < n; ++i) {
    const size_t sample = i / size;
    b[i] = static_cast<uint8_t>((sample * (i % size + 1) + (rng() & 1)) >> (i % size == 0 ? 0 : 8));
  }
  return b;
}

TEST_F(JobThreads, ContainerIsTheSameOnEveryThreadCount) {
  ThreadCount threads;
  const struct {
    const char* name;
    Bytes data;
  } inputs[] = {
      {"random.bin", RandomBytes(920000, 9)},
      {"ramp2.raw", Ramp(150000, 2)},
      {"ramp4.raw", Ramp(150000, 4)},
  };
  std::vector<unsigned> modes;
  for (const auto& input : inputs) {
    const fs::path p = Path(input.name);
    WriteFile(p, input.data);
    threads.Set(1);
    const Bytes one = RunJob(p);
    threads.Set(2);
    const Bytes two = RunJob(p);
    ASSERT_GT(one.size(), 8u);
    EXPECT_TRUE(one == two) << input.name;
    modes.push_back(one[8]);
  }
  // The inputs are meant to choose different filters; the comparison holds either way.
  EXPECT_GE(std::set<unsigned>(modes.begin(), modes.end()).size(), 2u);
}

}  // namespace
