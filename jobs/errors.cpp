#include "jobs/errors.h"

#include <cerrno>

const char* JobErrorText(JobError e) {
  switch (e) {
    case JobError::None: return "no error";
    case JobError::OpenInput: return "cannot open input";
    case JobError::NotRegularFile: return "not a regular file";
    case JobError::ReadInput: return "cannot read input";
    case JobError::InputTooLarge: return "file too large (4 GiB or more)";
    case JobError::NotContainer: return "not a Zendrix file";
    case JobError::BadHeader: return "unknown filter mode in header";
    case JobError::BadExtension: return "stored extension is not a plain name";
    case JobError::NameTooLong: return "name too long";
    case JobError::SameFile: return "output would overwrite the input";
    case JobError::OutputExists: return "output exists";
    case JobError::CreateOutput: return "cannot create output";
    case JobError::WriteOutput: return "cannot write output";
    case JobError::DiskFull: return "disk full";
    case JobError::Damaged: return "damaged data";
    case JobError::SizeMismatch: return "damaged data (size does not match header)";
    case JobError::NoMemory: return "out of memory";
  }
  return "unknown error";
}

JobError WriteErrorFrom(int err) {
  return err == ENOSPC || err == EDQUOT ? JobError::DiskFull : JobError::WriteOutput;
}
