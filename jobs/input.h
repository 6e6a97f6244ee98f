// The input file of a job, or of a listing: opened and checked the same way everywhere.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>

#include "jobs/errors.h"

class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens `path` for reading and checks that it is a regular file that a header can measure
  // (less than 4 GiB). Opened without blocking, so that a named pipe fails as "not a regular
  // file" instead of waiting for a writer.
  JobError Open(const char* path);

  std::FILE* file() const { return file_; }
  // What fstat said of the file when it was opened.
  const struct stat& stat() const { return st_; }
  uint32_t size() const { return static_cast<uint32_t>(st_.st_size); }

 private:
  std::FILE* file_ = nullptr;
  struct stat st_ {};
};
