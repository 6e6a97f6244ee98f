#include "jobs/container.h"

#include <cstring>

long FindExtensionDot(const char* path) {
  long dot = -1;
  for (long i = 0; path[i] != '\0'; ++i) {
    if (path[i] == '/') dot = -1;  // a '.' in a folder name never counts
    else if (path[i] == '.') dot = i;
  }
  return dot;
}

bool IsContainerPath(const char* path) {
  const long dot = FindExtensionDot(path);
  if (dot < 0) return false;
  const char* e = path + dot + 1;
  return (e[0] == 'z' || e[0] == 'Z') && (e[1] == 'd' || e[1] == 'D') &&
         (e[2] == 'x' || e[2] == 'X') && e[3] == '\0';
}

JobError MakeCompressedName(const char* path, char (&out)[zdx::kPathMax], ContainerHeader& header) {
  const size_t len = std::strlen(path);
  const long dot = FindExtensionDot(path);
  const size_t stem = dot < 0 ? len : static_cast<size_t>(dot);
  const size_t extLen = dot < 0 ? 0 : len - stem - 1;
  constexpr size_t kSuffix = 1 + sizeof(zdx::kContainerExt) - 1;  // ".zdx"
  if (extLen > zdx::kMaxStoredExt || stem + kSuffix > zdx::kPathMax - 1) return JobError::NameTooLong;

  std::memcpy(header.szExt, path + stem + (dot < 0 ? 0 : 1), extLen);
  header.szExt[extLen] = '\0';
  header.nExtLen = static_cast<uint8_t>(extLen);
  std::memcpy(out, path, stem);
  out[stem] = '.';
  std::memcpy(out + stem + 1, zdx::kContainerExt, sizeof(zdx::kContainerExt));
  return JobError::None;
}

JobError MakeExpandedName(const char* path, const ContainerHeader& header, char (&out)[zdx::kPathMax]) {
  const long dot = FindExtensionDot(path);
  const size_t stem = dot < 0 ? std::strlen(path) : static_cast<size_t>(dot);
  const size_t extLen = header.nExtLen;
  const size_t total = stem + (extLen ? 1 + extLen : 0);
  if (total > zdx::kPathMax - 1) return JobError::NameTooLong;
  std::memcpy(out, path, stem);
  size_t n = stem;
  if (extLen) {
    out[n++] = '.';
    std::memcpy(out + n, header.szExt, extLen);
    n += extLen;
  }
  out[n] = '\0';
  return JobError::None;
}

bool WriteHeader(std::FILE* f, const ContainerHeader& h) {
  unsigned char buf[zdx::kHeaderFixedSize + zdx::kMaxStoredExt];
  size_t n = 0;
  std::memcpy(buf, zdx::kMagic, 4);
  n = 4;
  buf[n++] = h.nExtLen;
  std::memcpy(buf + n, h.szExt, h.nExtLen);
  n += h.nExtLen;
  buf[n++] = h.nFilterMode;
  for (int i = 0; i < 4; ++i) buf[n++] = static_cast<unsigned char>(h.nSize >> (8 * i));
  for (int i = 0; i < 4; ++i) buf[n++] = 0;
  return std::fwrite(buf, 1, n, f) == n;
}

JobError ReadHeader(std::FILE* f, ContainerHeader& h) {
  unsigned char magic[5];
  if (std::fread(magic, 1, 5, f) != 5 || std::memcmp(magic, zdx::kMagic, 4) != 0) return JobError::NotContainer;
  h.nExtLen = magic[4];
  if (h.nExtLen > zdx::kMaxStoredExt) return JobError::NameTooLong;
  if (std::fread(h.szExt, 1, h.nExtLen, f) != h.nExtLen) return JobError::NotContainer;
  h.szExt[h.nExtLen] = '\0';
  // A stored extension is spliced into a path: a '/' or NUL could make it name another folder.
  if (std::memchr(h.szExt, '/', h.nExtLen) || std::memchr(h.szExt, '\0', h.nExtLen)) return JobError::BadExtension;
  unsigned char rest[9];
  if (std::fread(rest, 1, 9, f) != 9) return JobError::NotContainer;
  h.nFilterMode = rest[0];
  h.nSize = uint32_t(rest[1]) | uint32_t(rest[2]) << 8 | uint32_t(rest[3]) << 16 | uint32_t(rest[4]) << 24;
  if (h.nFilterMode > zdx::kMaxFilterMode) return JobError::BadHeader;
  return JobError::None;
}
