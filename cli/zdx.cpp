// zdx: the command-line face of the Zendrix engine. Each FILE is one request, handled by the same
// job driver as the desktop app: a ".zdx" file is expanded, any other file compressed beside it.
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "codec/codec.h"
#include "codec/format.h"
#include "jobs/container.h"
#include "jobs/errors.h"
#include "jobs/input.h"
#include "jobs/process.h"
#include "jobs/requests.h"

#ifndef ZDX_VERSION
#define ZDX_VERSION "0.0.0"
#endif

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "Usage: zdx [OPTION]... FILE...\n"
    "Compress each FILE into FILE's name with the extension .zdx, or expand each .zdx FILE\n"
    "back to the name it was compressed from. Input files are never changed; files are\n"
    "taken in order, and the outputs take the inputs' permissions and modification times.\n"
    "\n"
    "  -f, --force     replace output files that already exist\n"
    "  -t, --test      check .zdx files completely (every checksum and the recorded size)\n"
    "                  without writing anything\n"
    "  -l, --list      show the header of each .zdx file: stored extension, filter mode,\n"
    "                  original size, container size and ratio\n"
    "  -q, --quiet     print nothing but error messages\n"
    "  -v, --verbose   also print timings and speed\n"
    "  -T, --threads=N use N threads (default: one per core; 1: single-threaded);\n"
    "                  the output is the same for any N\n"
    "  -h, --help      show this help and exit\n"
    "  -V, --version   show the version and exit\n"
    "  --              treat every following argument as a file name\n"
    "\n"
    "A progress bar is drawn on standard error when it is a terminal.\n"
    "Exit status: 0 if every file succeeded, 1 if any failed, 2 for a usage error.\n";

struct Options {
  bool force = false;
  bool test = false;
  bool list = false;
  bool quiet = false;
  bool verbose = false;
};

int Usage(const char* message, const char* arg) {
  std::fprintf(stderr, "zdx: %s%s%s\n", message, arg ? " -- " : "", arg ? arg : "");
  std::fputs("Try 'zdx --help' for more information.\n", stderr);
  return kExitUsage;
}

std::string Ratio(uint32_t result, uint32_t source) {
  if (source == 0) return "-";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f %%", double(result) * 100.0 / double(source));
  return buf;
}

// Reads the N of -T N / --threads N: 0 (one per core) up to 1024.
bool ParseThreads(std::string_view text, unsigned& n) {
  if (text.empty() || text.size() > 4) return false;
  unsigned v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v > 1024) return false;
  n = v;
  return true;
}

const Request& RequestAt(long index) { return *g_requests.At<Request>(index); }

// `zdx -l`: the header of one container, without expanding it.
bool ListOne(const char* path, bool& printedTitle, bool quiet) {
  InputFile in;
  ContainerHeader header;
  JobError e = in.Open(path);
  if (e == JobError::None) e = ReadHeader(in.file(), header);
  if (e != JobError::None) {
    std::fprintf(stderr, "zdx: %s: %s\n", path, JobErrorText(e));
    return false;
  }
  if (quiet) return true;
  if (!printedTitle) {
    std::printf("%-10s %6s %14s %14s %9s  %s\n", "extension", "filter", "original", "compressed", "ratio", "name");
    printedTitle = true;
  }
  const uint64_t containerSize = in.size();
  std::printf("%-10s %6u %14u %14llu %9s  %s\n", header.nExtLen ? header.szExt : "-", header.nFilterMode,
              header.nSize, static_cast<unsigned long long>(containerSize),
              Ratio(static_cast<uint32_t>(containerSize), header.nSize).c_str(), path);
  return true;
}

// Draws "[#####     ]  42 %  path" on stderr from the mailbox posts.
class ProgressBar {
 public:
  void Take() {
    ProcStatus::Post post;
    while (g_stat.Take(post)) {
      if (post.nFlags & kStatRow) {
        index_ = post.nIndex;
        value_ = 0;
      }
      if (post.nFlags & kStatMax) max_ = post.nMax;
      if (post.nFlags & kStatValue) value_ = post.nValue;
      Draw();
    }
  }
  void Clear() {
    if (drawn_) std::fputs("\r\033[K", stderr);
    drawn_ = false;
  }

 private:
  void Draw() {
    if (index_ < 0 || index_ >= g_requests.nCount) return;
    constexpr int kWidth = 30;
    const long max = max_ > 0 ? max_ : 1;
    const long value = value_ < 0 ? 0 : (value_ > max ? max : value_);
    const int filled = static_cast<int>(value * kWidth / max);
    std::fprintf(stderr, "\r\033[K[%.*s%*s] %3ld %%  %s", filled, "##############################", kWidth - filled,
                 "", value * 100 / max, RequestAt(index_).szPath);
    std::fflush(stderr);
    drawn_ = true;
  }
  long index_ = -1;
  long max_ = 1;
  long value_ = 0;
  bool drawn_ = false;
};

// Prints the outcome of one finished request; true when it succeeded.
bool Report(long index, const Options& options, double seconds) {
  Request r;
  {
    CXLock guard(&g_lock);  // the worker's last writes happen under the lock
    r = RequestAt(index);
  }
  const int32_t state = r.State();
  if (state == kStateError) {
    const JobError why = static_cast<JobError>(r.Reason());
    std::fprintf(stderr, "zdx: %s: %s%s\n", r.szPath, JobErrorText(why),
                 why == JobError::OutputExists ? " (use -f to replace it)" : "");
    return false;
  }
  if (options.quiet) return true;
  const uint32_t src = r.SrcSize();
  const uint32_t dst = r.DstSize();
  std::printf("%s: %s %u -> %u (%s)", r.szPath, cfStatusString[state], src, dst,
              Ratio(dst, src).c_str());
  if (options.verbose && seconds > 0) {
    const uint32_t plain = state == kStateExpanded ? dst : src;
    std::printf(" in %.2f s, %.1f MB/s", seconds, plain / seconds / 1e6);
  }
  std::putchar('\n');
  return true;
}

// The exit status, once standard output is known to have taken everything printed to it.
int Finish(bool allOk) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "zdx: cannot write to standard output: %s\n", std::strerror(errno));
    return kExitFailed;
  }
  return allOk ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  unsigned threads = 0;
  std::vector<const char*> files;
  bool endOfOptions = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (endOfOptions || arg.size() < 2 || arg[0] != '-') {
      files.push_back(argv[i]);
    } else if (arg == "--") {
      endOfOptions = true;
    } else if (arg.starts_with("--")) {
      if (arg == "--force") options.force = true;
      else if (arg == "--test") options.test = true;
      else if (arg == "--list") options.list = true;
      else if (arg == "--quiet") options.quiet = true;
      else if (arg == "--verbose") options.verbose = true;
      else if (arg == "--threads" || arg.starts_with("--threads=")) {
        const char* value = arg == "--threads" ? (i + 1 < argc ? argv[++i] : nullptr) : argv[i] + 10;
        if (!value) return Usage("option requires a number", argv[i]);
        if (!ParseThreads(value, threads)) return Usage("invalid thread count", value);
      }
      else if (arg == "--help") return std::fputs(kUsage, stdout), kExitOk;
      else if (arg == "--version") return std::printf("zdx (Zendrix) %s\n", ZDX_VERSION), kExitOk;
      else return Usage("unknown option", argv[i]);
    } else {
      const std::string_view cluster = arg.substr(1);
      for (size_t k = 0; k < cluster.size(); ++k) {
        const char c = cluster[k];
        if (c == 'T') {  // the number is the rest of the argument, or the next one
          const char* value = k + 1 < cluster.size() ? argv[i] + 2 + k : (i + 1 < argc ? argv[++i] : nullptr);
          if (!value) return Usage("option requires a number", "-T");
          if (!ParseThreads(value, threads)) return Usage("invalid thread count", value);
          break;
        }
        switch (c) {
          case 'f': options.force = true; break;
          case 't': options.test = true; break;
          case 'l': options.list = true; break;
          case 'q': options.quiet = true; break;
          case 'v': options.verbose = true; break;
          case 'h': return std::fputs(kUsage, stdout), kExitOk;
          case 'V': return std::printf("zdx (Zendrix) %s\n", ZDX_VERSION), kExitOk;
          default: {
            const char opt[3] = {'-', c, '\0'};
            return Usage("unknown option", opt);
          }
        }
      }
    }
  }
  if (files.empty()) return Usage("no files given", nullptr);
  if (options.test && options.list) return Usage("--test and --list cannot be combined", nullptr);

  SetEngineThreads(threads);
  // The codec's work areas (up to 3.6 MB each) are obtained and released per file, some on
  // worker threads. With a fixed threshold each goes straight back to the system when released,
  // instead of the allocator raising its threshold and keeping the memory in a thread's arena.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);

  bool allOk = true;
  if (options.list) {
    bool printedTitle = false;
    for (const char* f : files) allOk &= ListOne(f, printedTitle, options.quiet);
    return Finish(allOk);
  }

  std::unique_ptr<unsigned char[]> buff1(new (std::nothrow) unsigned char[zdx::kChunkSize]);
  std::unique_ptr<unsigned char[]> buff2(new (std::nothrow) unsigned char[zdx::kChunkSize]);
  if (!buff1 || !buff2 || !g_lock.Create()) {
    std::fputs("zdx: out of memory\n", stderr);
    return kExitFailed;
  }
  pbuff1 = buff1.get();
  pbuff2 = buff2.get();

  JobOptions jobOptions;
  jobOptions.bReplace = options.force;
  jobOptions.bVerifyOnly = options.test;

  const bool showProgress = !options.quiet && ::isatty(STDERR_FILENO);
  if (!showProgress) g_stat.bQuit = true;  // nobody reads the mailbox: posts must not wait
  // The bar is redrawn every few milliseconds, so a post that finds the slot taken need not
  // wait as long as it does for the window's 0.1 s timer.
  g_stat.pfnSleep = [](long) { SleepCurrentThread(1); };
  ProgressBar bar;

  // One request per file, each processed by the job driver on the calling thread, one at a time,
  // so the outcome is printed as soon as it is known. With a progress bar the job runs on the
  // worker thread while this thread draws.
  for (const char* path : files) {
    if (std::strlen(path) >= zdx::kPathMax) {
      std::fprintf(stderr, "zdx: %s: %s\n", path, JobErrorText(JobError::NameTooLong));
      allOk = false;
      continue;
    }
    Request req;
    std::strcpy(req.szPath, path);
    g_lock.Lock();
    const long index = g_requests.nCount;
    const bool queued = g_requests.Insert(index, 1, &req) != 0;
    g_lock.Unlock();
    if (!queued) {
      std::fputs("zdx: out of memory\n", stderr);
      return kExitFailed;
    }

    const auto start = std::chrono::steady_clock::now();
    if (showProgress) {
      g_thrd.AddFunction(ProcessThrd, 0);  // registered once; later calls fail harmlessly
      if (!g_thrd.bRunning && !g_thrd.Create(&jobOptions, 0)) {
        std::fputs("zdx: cannot start the worker thread\n", stderr);
        return kExitFailed;
      }
      g_thrd.Signal(1);
      while (RequestAt(index).State() <= kStateProcess) {
        bar.Take();
        SleepCurrentThread(10);
      }
      bar.Take();
      bar.Clear();
    } else {
      Process(&g_requests, index, &g_lock, &g_stat, jobOptions, pbuff1, pbuff2);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    allOk &= Report(index, options, seconds);
    std::fflush(stdout);
  }

  if (showProgress) {
    g_stat.bQuit = true;
    g_thrd.Destroy();
  }
  return Finish(allOk);
}
