#include "jobs/process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "codec/codec.h"
#include "jobs/analyze.h"
#include "jobs/container.h"
#include "jobs/input.h"
#include "jobs/procstate.h"
#include "jobs/requests.h"

unsigned char* pbuff1 = nullptr;
unsigned char* pbuff2 = nullptr;

namespace {

// Refuses a target that is the input itself (also through a link), a folder, or, unless
// replacing was asked for, any existing file.
JobError CheckTarget(const char* target, const struct stat& input, bool replace) {
  struct stat st;
  if (::stat(target, &st) != 0) return JobError::None;
  if (st.st_dev == input.st_dev && st.st_ino == input.st_ino) return JobError::SameFile;
  if (S_ISDIR(st.st_mode)) return JobError::CreateOutput;
  return replace ? JobError::None : JobError::OutputExists;
}

// The output under construction: a temporary file in the target's folder that becomes the target
// only when the job has succeeded, and is removed otherwise.
class PendingOutput {
 public:
  ~PendingOutput() { Abandon(); }

  JobError Create(const char* target) {
    target_ = target;
    const size_t slash = target_.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    tmp_ = dir + "." + base + ".XXXXXX";
    const int fd = ::mkstemp(tmp_.data());
    if (fd < 0) {
      tmp_.clear();
      return errno == ENAMETOOLONG ? JobError::NameTooLong : JobError::CreateOutput;
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    file_ = ::fdopen(fd, "wb");
    if (!file_) {
      ::close(fd);
      return JobError::CreateOutput;
    }
    return JobError::None;
  }

  std::FILE* file() const { return file_; }

  // Flushes and closes the file, gives it the input's permission bits and times, and moves it
  // to the target. Without `replace`, a target that has appeared meanwhile is left alone.
  JobError Commit(const struct stat& like, bool replace) {
    const int fd = ::fileno(file_);
    if (std::fflush(file_) != 0) return WriteErrorFrom(errno);
    const struct timespec times[2] = {like.st_atim, like.st_mtim};
    if (::fchmod(fd, like.st_mode & 07777) != 0 || ::futimens(fd, times) != 0) return JobError::WriteOutput;
    std::FILE* f = file_;
    file_ = nullptr;
    if (std::fclose(f) != 0) return WriteErrorFrom(errno);
    int rc;
    if (replace) {
      rc = ::rename(tmp_.c_str(), target_.c_str());
    } else {
      rc = ::renameat2(AT_FDCWD, tmp_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE);
      if (rc != 0 && errno == EINVAL) {  // a file system without the flag: link refuses to replace too
        rc = ::link(tmp_.c_str(), target_.c_str());
        if (rc == 0) ::unlink(tmp_.c_str());
      }
      if (rc != 0 && errno == EEXIST) return JobError::OutputExists;
    }
    if (rc != 0) return JobError::CreateOutput;
    tmp_.clear();
    return JobError::None;
  }

  void Abandon() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    if (!tmp_.empty()) ::unlink(tmp_.c_str());
    tmp_.clear();
  }

 private:
  std::string target_;
  std::string tmp_;
  std::FILE* file_ = nullptr;
};

// The progress maximum is posted in unsigned 32-bit arithmetic, as the display expects.
long ChunkCount(uint32_t n) { return static_cast<long>(static_cast<uint32_t>(n + (zdx::kChunkSize - 1)) / zdx::kChunkSize); }

JobError CompressFile(ProcState& s, InputFile& in, const char* path, const JobOptions& options, ProcStatus* status,
                      long index) {
  char target[zdx::kPathMax];
  ContainerHeader header;
  if (JobError e = MakeCompressedName(path, target, header); e != JobError::None) return e;
  if (JobError e = CheckTarget(target, in.stat(), options.bReplace); e != JobError::None) return e;

  const uint32_t size = in.size();
  s.modeCompress = true;
  if (status) status->Change(index, kStatMax, 0, ChunkCount(size) + 5);

  s.srclen = size;
  s.nSrcLeft = size;
  s.currOptim = 0;
  if (!Analyze(s)) return s.nError;
  s.srclen = size;

  PendingOutput out;
  if (JobError e = out.Create(target); e != JobError::None) return e;
  s.dst = out.file();
  header.nFilterMode = s.currOptim;
  header.nSize = size;
  errno = 0;
  if (!WriteHeader(s.dst, header)) return WriteErrorFrom(errno);
  s.dstlen += header.HeaderSize();

  ReadSrc(s, 1);
  if (Compress(s) != 1) return s.bFailed ? JobError(s.nError) : JobError::NoMemory;
  WriteDst(s);
  if (s.bFailed) return s.nError;
  return out.Commit(in.stat(), options.bReplace);
}

JobError ExpandFile(ProcState& s, InputFile& in, const char* path, const JobOptions& options, ProcStatus* status,
                    long index, uint32_t& expandedSize) {
  ContainerHeader header;
  if (JobError e = ReadHeader(in.file(), header); e != JobError::None) return e;
  // A check writes nothing, so it has no output name to make.
  char target[zdx::kPathMax];
  if (!options.bVerifyOnly) {
    if (JobError e = MakeExpandedName(path, header, target); e != JobError::None) return e;
    if (JobError e = CheckTarget(target, in.stat(), options.bReplace); e != JobError::None) return e;
  }

  s.srclen = in.size() - header.HeaderSize();
  s.nSrcLeft = s.srclen;
  s.modeCompress = false;
  s.currOptim = header.nFilterMode;
  if (status) status->Change(index, kStatMax, 0, ChunkCount(s.srclen));
  // Room for one byte more than the header promises, so that a stream that decodes to more
  // is noticed instead of being cut silently.
  s.dstlen = header.nSize == UINT32_MAX ? header.nSize : header.nSize + 1;
  s.bFirstWrite = true;

  PendingOutput out;
  if (options.bVerifyOnly) {
    s.bDiscardOutput = true;
  } else {
    if (JobError e = out.Create(target); e != JobError::None) return e;
    s.dst = out.file();
  }

  ReadSrc(s, 0);
  CodecError why = CodecError::None;
  if (Extract(s, &why) != 1) {
    if (s.bFailed) return s.nError;
    return why == CodecError::NoMemory ? JobError::NoMemory : JobError::Damaged;
  }
  if (s.bFailed) return s.nError;
  if (s.dstcur != header.nSize) return JobError::SizeMismatch;
  WriteDst(s);
  if (s.bFailed) return s.nError;
  expandedSize = header.nSize;
  return options.bVerifyOnly ? JobError::None : out.Commit(in.stat(), options.bReplace);
}

Request* RequestAt(CStructArray* array, long index) { return array->At<Request>(index); }

}  // namespace

void Process(CStructArray* array, long index, CXLock* lock, ProcStatus* status, const JobOptions& options,
             unsigned char* buff1, unsigned char* buff2) {
  ProcState s;
  s.reqindex = static_cast<int32_t>(index);
  s.preqstat = status;
  s.Reset(buff1, buff2);

  Request req;
  lock->Lock();
  req = *RequestAt(array, index);
  RequestAt(array, index)->SetState(kStateProcess);
  lock->Unlock();
  if (status) status->Change(index, kStatRow, -1, -1);

  InputFile in;
  JobError err = in.Open(req.szPath);
  int32_t state = kStateError;
  uint32_t dstSize = 0;
  if (err == JobError::None) {
    s.src = in.file();
    if (IsContainerPath(req.szPath)) {
      err = ExpandFile(s, in, req.szPath, options, status, index, dstSize);
      state = kStateExpanded;
    } else if (options.bVerifyOnly) {
      err = JobError::NotContainer;
    } else {
      err = CompressFile(s, in, req.szPath, options, status, index);
      dstSize = s.dstlen;
      state = kStateCompressed;
    }
  }
  if (err != JobError::None) {
    state = kStateError;
    dstSize = 0;
  }

  lock->Lock();
  Request* r = RequestAt(array, index);
  if (err == JobError::None) r->SetSrcSize(in.size());
  r->SetDstSize(dstSize);
  r->SetReason(static_cast<int32_t>(err));
  r->SetState(state);
  lock->Unlock();
  if (status) status->Change(index, kStatRow, -1, -1);
}

void Process(CStructArray* array, long index, CXLock* lock, ProcStatus* status) {
  Process(array, index, lock, status, JobOptions{}, pbuff1, pbuff2);
}

unsigned char ProcessThrd(void* arg) {
  const JobOptions options = arg ? *static_cast<const JobOptions*>(arg) : JobOptions{};
  for (;;) {
    long found = -1;
    g_lock.Lock();
    for (long i = 0; i < g_requests.nCount; ++i) {
      if (RequestAt(&g_requests, i)->State() == kStateWait) {
        found = i;
        break;
      }
    }
    g_lock.Unlock();
    if (found < 0) return 1;
    Process(&g_requests, found, &g_lock, &g_stat, options, pbuff1, pbuff2);
  }
}
