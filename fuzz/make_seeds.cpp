// Writes the seed corpora of the fuzz targets: a few small inputs, and for the expander their
// valid streams (with the exact size as dstlen, and a smaller one).
//   zdx_fuzz_seeds EXTRACT_DIR ROUNDTRIP_DIR
#include <cstdio>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "fuzz/fuzz_input.h"
#include "tests/codec/memory_io.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool WriteFile(const std::string& path, const Bytes& data) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return std::fclose(f) == 0 && ok;
}

Bytes Stream(const Bytes& input) {
  MemoryIO io(input);
  if (Compress(io) != 1) return {};
  io.FinalFlush();
  return io.out;
}

Bytes WithDstlen(uint32_t dstlen, const Bytes& stream) {
  Bytes out = {static_cast<uint8_t>(dstlen), static_cast<uint8_t>(dstlen >> 8),
               static_cast<uint8_t>(dstlen >> 16), static_cast<uint8_t>(dstlen >> 24)};
  out.insert(out.end(), stream.begin(), stream.end());
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s EXTRACT_DIR ROUNDTRIP_DIR\n", argv[0]);
    return 2;
  }
  struct Seed {
    const char* name;
    Bytes payload;  // the round-trip target's bytes: a mode byte, then the payload
  };
  // A mode byte (see RoundTripInput) followed by text.
  const auto text = [](uint8_t mode, const char* s) {
    Bytes out = {mode};
    out.insert(out.end(), s, s + std::char_traits<char>::length(s));
    return out;
  };
  Bytes all(257);
  all[0] = 0;
  for (int i = 0; i < 256; ++i) all[static_cast<size_t>(i) + 1] = static_cast<uint8_t>(i);
  Bytes noisy(3001);
  uint32_t x = 1;
  for (auto& b : noisy) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
  noisy[0] = 0;
  std::vector<Seed> seeds = {
      {"empty", {0}},
      {"one-byte", {0, 'a'}},
      {"run", {0, 'a', 'a', 'a', 'a', 'a', 'a', 'b'}},
      {"words", text(0x00, "hello, hello, hello world; a short line of text.\n")},
      {"all-values", all},
      {"noise", noisy},
      {"periodic-randomised", {0xC0, 'a', 'b', 'c'}},  // 4 KiB of "abc"
      {"one-value-long", {0xFF, 'z'}},                 // 8 KiB of one value
      {"text-tiled", text(0x90, "The quick brown fox jumps over the lazy dog. ")},
  };
  int failures = 0;
  for (const Seed& seed : seeds) {
    const Bytes input = zdx::fuzz::RoundTripInput(seed.payload.data(), seed.payload.size());
    const Bytes stream = Stream(input);
    const std::string base = std::string("/seed-") + seed.name;
    const auto n = static_cast<uint32_t>(input.size());
    const bool ok = !stream.empty() && WriteFile(argv[2] + base, seed.payload) &&
                    WriteFile(argv[1] + base, WithDstlen(n, stream)) &&
                    WriteFile(argv[1] + base + "-short", WithDstlen(n / 2, stream));
    if (!ok) {
      std::fprintf(stderr, "zdx_fuzz_seeds: cannot write the seed %s\n", seed.name);
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}
