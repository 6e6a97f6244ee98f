// The .zdx container: its header, the test that picks a job's direction, and how output names
// are formed in both directions.
//
// Layout (offsets from the file's start; L = length of the stored extension):
//   0  "ZDX1"   5+L  filter mode (1..5 written; 0..5 read)
//   4  L        6+L  uncompressed size, 32-bit little-endian
//   5  ext      10+L reserved, written 0, ignored when read
//   14+L the compressed stream
//
// Names: only the file name's own last '.' counts, never a '.' in a folder name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "codec/format.h"
#include "jobs/errors.h"

struct ContainerHeader {
  char szExt[zdx::kMaxStoredExt + 1] = {};  // stored extension, NUL-terminated
  uint8_t nExtLen = 0;
  uint8_t nFilterMode = 0;
  uint32_t nSize = 0;  // uncompressed size
  uint32_t HeaderSize() const { return zdx::kHeaderFixedSize + nExtLen; }
};

// The index of the last '.' of the file name in `path` (after its last '/'), or -1.
long FindExtensionDot(const char* path);

// True when the file name's extension is "zdx" in any letter case.
bool IsContainerPath(const char* path);

// Compression naming: a/b.txt -> a/b.zdx with stored extension "txt"; a -> a.zdx with "".
// Fails with NameTooLong when the output does not fit kPathMax or the extension kMaxStoredExt.
JobError MakeCompressedName(const char* path, char (&out)[zdx::kPathMax], ContainerHeader& header);

// Expansion naming: a.zdx with stored extension "txt" -> a.txt; with "" -> a.
JobError MakeExpandedName(const char* path, const ContainerHeader& header, char (&out)[zdx::kPathMax]);

// Writes the 14 + L header bytes; false on a short write.
bool WriteHeader(std::FILE* f, const ContainerHeader& header);

// Reads and checks a header. NotContainer for a missing magic or a short read, NameTooLong for a
// stored extension longer than its buffer, BadExtension for one holding '/' or NUL, BadHeader
// for a filter mode above 5.
JobError ReadHeader(std::FILE* f, ContainerHeader& header);
