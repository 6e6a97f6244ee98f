#include "jobs/input.h"

#include <fcntl.h>
#include <unistd.h>

InputFile::~InputFile() {
  if (file_) std::fclose(file_);
}

JobError InputFile::Open(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return JobError::OpenInput;
  if (::fstat(fd, &st_) != 0 || !(file_ = ::fdopen(fd, "rb"))) {
    ::close(fd);
    return JobError::OpenInput;
  }
  if (!S_ISREG(st_.st_mode)) return JobError::NotRegularFile;
  // The header's size field has 32 bits.
  if (static_cast<uint64_t>(st_.st_size) > UINT32_MAX) return JobError::InputTooLarge;
  return JobError::None;
}
