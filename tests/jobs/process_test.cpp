// The job driver end to end on real files: round trips, the posts it makes, and every way a
// job can fail, each leaving no partial output and any existing target exactly as it was.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "codec/codec_test_util.h"
#include "codec/format.h"
#include "common/job_fixture.h"
#include "jobs/container.h"
#include "jobs/process.h"
#include "jobs/requests.h"

namespace fs = std::filesystem;

namespace {

using zdx::test::Bytes;
using zdx::test::RandomBytes;
using zdx::test::ReadFile;
using zdx::test::WriteFile;

Bytes Text(size_t n) {
  const std::string line = "The quick brown fox jumps over the lazy dog, again and again. ";
  Bytes b;
  while (b.size() < n) b.insert(b.end(), line.begin(), line.end());
  b.resize(n);
  return b;
}

// Job tests, with a file system of their own where a full disk is needed.
class JobTest : public zdx::test::JobFixture {
 protected:
  void TearDown() override {
    if (!mountPoint_.empty()) ::umount(mountPoint_.c_str());
    JobFixture::TearDown();
  }

  // Names of every entry of the folder, hidden ones included.
  std::vector<std::string> Entries(const fs::path& d) const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(d)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  // A small file system of `kb` KiB, for a full disk; empty when mounting is not permitted.
  fs::path SmallDisk(int kb) {
    const fs::path p = dir_ / "disk";
    fs::create_directory(p);
    const std::string opts = "size=" + std::to_string(kb) + "k";
    if (::mount("tmpfs", p.c_str(), "tmpfs", 0, opts.c_str()) != 0) return {};
    mountPoint_ = p;
    return p;
  }

  fs::path mountPoint_;
};

TEST_F(JobTest, RoundTripRestoresBytesModeAndTime) {
  const Bytes data = Text(300000);
  WriteFile(Path("a.txt"), data);
  ::chmod(Path("a.txt").c_str(), 0604);
  const struct timespec times[2] = {{1000000000, 0}, {1000000001, 500}};
  ASSERT_EQ(::utimensat(AT_FDCWD, Path("a.txt").c_str(), times, 0), 0);

  const Request c = Run(Path("a.txt"));
  ASSERT_EQ(c.State(), kStateCompressed) << JobErrorText(static_cast<JobError>(c.Reason()));
  EXPECT_EQ(c.DstSize(), fs::file_size(Path("a.zdx")));  // the whole container, header included

  fs::rename(Path("a.txt"), Path("orig.txt"));
  const Request e = Run(Path("a.zdx"));
  ASSERT_EQ(e.State(), kStateExpanded) << JobErrorText(static_cast<JobError>(e.Reason()));
  EXPECT_EQ(e.DstSize(), data.size());
  EXPECT_EQ(ReadFile(Path("a.txt")), data);
  struct stat st {};
  ASSERT_EQ(::stat(Path("a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  EXPECT_EQ(st.st_mtim.tv_sec, 1000000001);
  EXPECT_EQ(st.st_mtim.tv_nsec, 500);
  EXPECT_EQ(Entries(dir_), (std::vector<std::string>{"a.txt", "a.zdx", "orig.txt"}));
}

TEST_F(JobTest, FolderNamesWithDotsAreNotExtensions) {
  fs::create_directory(Path("dir.d"));
  WriteFile(Path("dir.d/file"), Text(1000));
  EXPECT_EQ(Run(Path("dir.d/file")).State(), kStateCompressed);
  EXPECT_TRUE(fs::exists(Path("dir.d/file.zdx")));
}

TEST_F(JobTest, CompressesWhatIsThereWhenTheFileChangedAfterQueueing) {
  const Bytes data = Text(5000);
  WriteFile(Path("grew.txt"), data);
  const Request c = Run(Path("grew.txt"), {}, /*queuedSize=*/10);
  ASSERT_EQ(c.State(), kStateCompressed);
  fs::remove(Path("grew.txt"));
  ASSERT_EQ(Run(Path("grew.zdx")).State(), kStateExpanded);
  EXPECT_EQ(ReadFile(Path("grew.txt")), data);
}

TEST_F(JobTest, OneByteFileChoosesTheHighestModeOnATie) {
  WriteFile(Path("one"), {42});
  ASSERT_EQ(Run(Path("one")).State(), kStateCompressed);
  const Bytes c = ReadFile(Path("one.zdx"));
  ASSERT_GE(c.size(), 14u);
  EXPECT_EQ(c[5], 5);  // every trial sees the byte unchanged, so all sizes are equal
}

TEST_F(JobTest, VerifyOnlyWritesNothing) {
  WriteFile(Path("v.txt"), Text(1000));
  ASSERT_EQ(Run(Path("v.txt")).State(), kStateCompressed);
  fs::remove(Path("v.txt"));
  JobOptions verify;
  verify.bVerifyOnly = true;
  EXPECT_EQ(Run(Path("v.zdx"), verify).State(), kStateExpanded);
  EXPECT_EQ(Entries(dir_), (std::vector<std::string>{"v.zdx"}));
  EXPECT_EQ(static_cast<JobError>(Run(Path("v.zdx.txt"), verify).Reason()), JobError::OpenInput);
}

// Patches bytes of a file in place.
void Patch(const fs::path& p, size_t offset, const Bytes& bytes) {
  Bytes b = ReadFile(p);
  std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<long>(offset));
  WriteFile(p, b);
}

struct FailureCase {
  const char* name;
  JobError want;
  // Prepares the folder; returns the file to process. "a.txt" (text) and "a.zdx" (its
  // container) exist, and a target "a.txt" or "a.zdx" with the content "precious" is checked.
  std::function<fs::path(JobTest&, const fs::path& dir)> prepare;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class JobFailure : public JobTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(JobFailure, LeavesNoOutputAndKeepsTheTarget) {
  const Bytes text = Text(20000);
  WriteFile(Path("a.txt"), text);
  ASSERT_EQ(Run(Path("a.txt")).State(), kStateCompressed);
  const Bytes container = ReadFile(Path("a.zdx"));
  const fs::path input = GetParam().prepare(*this, dir_);

  // Whatever the job would write is a file that already exists.
  const bool expanding = IsContainerPath(input.c_str());
  const fs::path target = expanding ? Path("a.txt") : Path("a.zdx");
  const Bytes precious = {'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'};
  if (fs::exists(target) && fs::canonical(target) != fs::weakly_canonical(input)) WriteFile(target, precious);
  const auto before = Entries(dir_);
  const Bytes targetBefore = fs::exists(target) ? ReadFile(target) : Bytes{};

  const Request r = Run(input);
  EXPECT_EQ(r.State(), kStateError);
  EXPECT_EQ(static_cast<JobError>(r.Reason()), GetParam().want)
      << JobErrorText(static_cast<JobError>(r.Reason()));
  EXPECT_EQ(r.DstSize(), 0u);
  EXPECT_EQ(Entries(dir_), before);  // no output, no temporary file
  if (fs::exists(target)) {
    EXPECT_EQ(ReadFile(target), targetBefore);
  }
}

const FailureCase kFailures[] = {
    {"MissingInput", JobError::OpenInput, [](JobTest&, const fs::path& d) { return d / "nothing.txt"; }},
    {"Folder", JobError::NotRegularFile,
     [](JobTest&, const fs::path& d) {
       fs::create_directory(d / "sub.txt");
       return d / "sub.txt";
     }},
    {"WrongMagic", JobError::NotContainer,
     [](JobTest&, const fs::path& d) {
       Patch(d / "a.zdx", 3, {'2'});
       return d / "a.zdx";
     }},
    {"FilterModeSix", JobError::BadHeader,
     [](JobTest&, const fs::path& d) {
       Patch(d / "a.zdx", 8, {6});
       return d / "a.zdx";
     }},
    {"StoredExtensionWithSlash", JobError::BadExtension,
     [](JobTest&, const fs::path& d) {
       Patch(d / "a.zdx", 5, {'t', '/', 't'});
       return d / "a.zdx";
     }},
    {"StoredExtensionNamesTheContainer", JobError::SameFile,
     [](JobTest&, const fs::path& d) {
       Patch(d / "a.zdx", 5, {'z', 'd', 'x'});
       return d / "a.zdx";
     }},
    {"TargetIsALinkToTheInput", JobError::SameFile,
     [](JobTest&, const fs::path& d) {
       fs::rename(d / "a.zdx", d / "b.zdx");
       fs::remove(d / "a.txt");
       fs::create_symlink("b.zdx", d / "b.txt");
       return d / "b.zdx";
     }},
    {"DamagedStream", JobError::Damaged,
     [](JobTest&, const fs::path& d) {
       Bytes c = ReadFile(d / "a.zdx");
       c[c.size() - 7] ^= 0x40;
       WriteFile(d / "a.zdx", c);
       return d / "a.zdx";
     }},
    {"TruncatedStream", JobError::Damaged,
     [](JobTest&, const fs::path& d) {
       fs::resize_file(d / "a.zdx", fs::file_size(d / "a.zdx") - 12);
       return d / "a.zdx";
     }},
    {"HeaderPromisesMore", JobError::SizeMismatch,
     [](JobTest&, const fs::path& d) {
       Patch(d / "a.zdx", 9, {0x21});  // 20000 = 0x4E20 -> 0x4E21
       return d / "a.zdx";
     }},
    {"HeaderPromisesLess", JobError::SizeMismatch,
     [](JobTest&, const fs::path& d) {
       Patch(d / "a.zdx", 9, {0x1F});
       return d / "a.zdx";
     }},
    {"NameTooLong", JobError::NameTooLong,
     [](JobTest&, const fs::path& d) {
       // The path fits the request's 259 characters, its container's name does not.
       const size_t room = 259 - d.string().size() - 1;
       const fs::path p = d / (std::string(room - 2, 'n') + ".t");
       WriteFile(p, {1, 2, 3});
       return p;
     }},
    {"FourGibibytes", JobError::InputTooLarge,
     [](JobTest&, const fs::path& d) {
       const fs::path p = d / "big.bin";
       WriteFile(p, {});
       fs::resize_file(p, uint64_t{1} << 32);  // sparse
       return p;
     }},
};

INSTANTIATE_TEST_SUITE_P(Jobs, JobFailure, testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(JobTest, ExistingOutputIsRefusedWithoutReplace) {
  WriteFile(Path("a.txt"), Text(100));
  WriteFile(Path("a.zdx"), {'o', 'l', 'd'});
  JobOptions keep;
  keep.bReplace = false;
  const Request r = Run(Path("a.txt"), keep);
  EXPECT_EQ(static_cast<JobError>(r.Reason()), JobError::OutputExists);
  EXPECT_EQ(ReadFile(Path("a.zdx")), (Bytes{'o', 'l', 'd'}));
  EXPECT_EQ(Run(Path("a.txt")).State(), kStateCompressed);  // the app's way replaces it
}

TEST_F(JobTest, FullDiskFailsAndLeavesNothing) {
  const fs::path disk = SmallDisk(512);
  if (disk.empty()) GTEST_SKIP() << "cannot mount a small file system here";
  WriteFile(disk / "r.bin", RandomBytes(300000, 3));  // its container cannot fit beside it
  const Request r = Run(disk / "r.bin");
  EXPECT_EQ(static_cast<JobError>(r.Reason()), JobError::DiskFull);
  EXPECT_EQ(Entries(disk).size(), 1u);
}

// Takes every post in the producer's own thread: the mailbox calls its sleep only when the slot
// is still taken, so the "sleep" can play the consumer.
std::vector<ProcStatus::Post>* g_posts = nullptr;
ProcStatus* g_polled = nullptr;
void TakeInsteadOfSleeping(long) {
  ProcStatus::Post p;
  if (g_polled->Take(p)) g_posts->push_back(p);
}

TEST_F(JobTest, PostsRowMaximumAndProgress) {
  WriteFile(Path("p.txt"), Text(zdx::kChunkSize + 10));
  std::vector<ProcStatus::Post> posts;
  g_posts = &posts;
  g_polled = &status_;
  status_.bQuit = false;
  status_.pfnSleep = TakeInsteadOfSleeping;
  Run(Path("p.txt"));
  TakeInsteadOfSleeping(0);

  ASSERT_GE(posts.size(), 14u);
  EXPECT_EQ(posts.front().nFlags, kStatRow);
  EXPECT_EQ(posts[1].nFlags, kStatMax);
  EXPECT_EQ(posts[1].nMax, 2 + 5);  // chunks of the input, rounded up, plus 5
  for (int v = 1; v <= 10; ++v) {   // the ten steps of the filter selection
    EXPECT_EQ(posts[1 + v].nFlags, kStatValue);
    EXPECT_EQ(posts[1 + v].nValue, v);
  }
  EXPECT_EQ(posts.back().nFlags, kStatRow);
  EXPECT_EQ(posts.back().nIndex, 0);
}

}  // namespace
