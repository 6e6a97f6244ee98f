// Speed of the codec on one file, single thread:
//   codec_bench c INPUT OUTPUT    compress INPUT into the stream OUTPUT
//   codec_bench x INPUT OUTPUT    expand the stream INPUT into OUTPUT
// Bytes move through the two chunk buffers and file hooks as in a real job, so the process holds
// only the codec's work areas and two chunks; run it under /usr/bin/time -v for peak memory.
// Speeds are uncompressed MB (10^6 bytes) per second of codec time, file I/O included.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "codec/codec.h"

namespace {

struct FileIO : ChunkIO {
  FILE* in = nullptr;
  FILE* out = nullptr;

  static void ReadSrc(ChunkIO& io) {
    auto& f = static_cast<FileIO&>(io);
    (void)std::fread(f.pbuff1, 1, zdx::kChunkSize, f.in);
    if (std::ferror(f.in)) f.bFailed = true;
    f.ibuff1 = 0;
  }
  static void WriteDst(ChunkIO& io) {
    auto& f = static_cast<FileIO&>(io);
    if (f.ibuff2 > 0 && std::fwrite(f.pbuff2, 1, f.ibuff2, f.out) != f.ibuff2) f.bFailed = true;
    f.ibuff2 = 0;
  }
};

long FileSize(FILE* f) {
  if (std::fseek(f, 0, SEEK_END) != 0) return -1;
  const long n = std::ftell(f);
  std::rewind(f);
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  if ((argc != 4 && argc != 5) || (std::strcmp(argv[1], "c") != 0 && std::strcmp(argv[1], "x") != 0)) {
    std::fprintf(stderr, "usage: %s c|x INPUT OUTPUT [THREADS]\n", argv[0]);
    return 2;
  }
  if (argc == 5) SetEngineThreads(static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)));
  const bool bCompress = argv[1][0] == 'c';
  FILE* in = std::fopen(argv[2], "rb");
  FILE* out = std::fopen(argv[3], "wb");
  if (in == nullptr || out == nullptr) {
    std::fprintf(stderr, "codec_bench: cannot open %s or %s\n", argv[2], argv[3]);
    return 1;
  }
  const long inSize = FileSize(in);
  if (inSize < 0 || inSize > 0xFFFFFFFFL) {
    std::fprintf(stderr, "codec_bench: %s has no usable size\n", argv[2]);
    return 1;
  }

  std::unique_ptr<unsigned char[]> buff1(new unsigned char[zdx::kChunkSize]);
  std::unique_ptr<unsigned char[]> buff2(new unsigned char[zdx::kChunkSize]);
  FileIO io;
  io.in = in;
  io.out = out;
  io.pbuff1 = buff1.get();
  io.pbuff2 = buff2.get();
  io.srclen = static_cast<uint32_t>(inSize);
  io.dstlen = bCompress ? 0 : 0xFFFFFFFFu;
  io.pfnReadSrc = &FileIO::ReadSrc;
  io.pfnWriteDst = &FileIO::WriteDst;

  const auto t0 = std::chrono::steady_clock::now();
  FileIO::ReadSrc(io);
  CodecError error = CodecError::None;
  const int ok = bCompress ? Compress(io, &error) : Extract(io, &error);
  FileIO::WriteDst(io);
  const bool bClosed = std::fclose(out) == 0;
  const auto t1 = std::chrono::steady_clock::now();
  std::fclose(in);
  if (!ok || io.bFailed || !bClosed) {
    std::fprintf(stderr, "codec_bench: %s failed (error %d)\n",
                 bCompress ? "compression" : "expansion", static_cast<int>(error));
    return 1;
  }

  const double secs = std::chrono::duration<double>(t1 - t0).count();
  const double raw = bCompress ? static_cast<double>(inSize) : static_cast<double>(io.dstcur);
  const double packed = bCompress ? static_cast<double>(io.dstcur) : static_cast<double>(inSize);
  std::printf("%s: %.0f bytes <-> %.0f bytes (ratio %.3f) in %.3f s: %.1f MB/s\n",
              bCompress ? "compress" : "expand", raw, packed, raw > 0 ? packed / raw : 0.0, secs,
              raw / secs / 1e6);
  return 0;
}
