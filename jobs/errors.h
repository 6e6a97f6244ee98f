// Why a job failed. Every request that ends in "Error" carries one of these, so the window and
// the command-line tool can say what went wrong.
#pragma once

#include <cstdint>

enum class JobError : int32_t {
  None = 0,
  OpenInput,      // the input cannot be opened or measured
  NotRegularFile, // the input is a folder or a device
  ReadInput,      // a read of the input failed or came up short
  InputTooLarge,  // 4 GiB or more: the header's size field has 32 bits
  NotContainer,   // no "ZDX1" header, or the header is cut short
  BadHeader,      // the header names an unknown filter mode
  BadExtension,   // the stored extension holds '/' or a NUL byte
  NameTooLong,    // the output name does not fit the path or extension buffer
  SameFile,       // the output would be the input itself
  OutputExists,   // the output exists and replacing it was not asked for
  CreateOutput,   // the output (or its temporary file) cannot be created
  WriteOutput,    // a write, flush or close of the output failed
  DiskFull,       // ... because the disk is full
  Damaged,        // a checksum, marker or table of the stream is wrong
  SizeMismatch,   // the stream decodes to a size other than the header's
  NoMemory,       // the codec's work memory was refused
};

// DiskFull for the errno values that mean the disk (or the user's quota) is full, else
// WriteOutput.
JobError WriteErrorFrom(int err);

// A short human text, e.g. "not a Zendrix file".
const char* JobErrorText(JobError e);
