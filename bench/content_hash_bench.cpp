// Throughput of each ContentHash path and of memcpy over the same 64 MiB
// buffer. Built against Google Benchmark natively and against the stand-in
// in mini/ for Win32; scripts/bench runs both and prints GB/s.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "payload/content_hash.h"

namespace {

constexpr size_t kBufferBytes = size_t{64} << 20;

// Random bytes, touched once so no benchmark pays for the first page faults.
const std::vector<uint8_t>& Buffer() {
  static const std::vector<uint8_t> buffer = [] {
    std::vector<uint8_t> bytes(kBufferBytes);
    std::mt19937 random(1);
    for (size_t i = 0; i < bytes.size(); i += 4) {
      const auto word = static_cast<uint32_t>(random());
      memcpy(&bytes[i], &word, 4);
    }
    return bytes;
  }();
  return buffer;
}

void BM_ContentHash(benchmark::State& state, ContentHashPath path) {
  if (!IsContentHashPathAvailable(path)) {
    state.SkipWithError("not available on this processor");
    return;
  }
  const std::vector<uint8_t>& buffer = Buffer();
  for (auto _ : state) {
    ContentHash hash;
    UpdateContentHashWith(path, &hash, buffer.data(), static_cast<uint32_t>(buffer.size()));
    benchmark::DoNotOptimize(hash);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(buffer.size()));
}

void BM_Memcpy(benchmark::State& state) {
  const std::vector<uint8_t>& buffer = Buffer();
  std::vector<uint8_t> copy(buffer.size(), 1);
  for (auto _ : state) {
    memcpy(copy.data(), buffer.data(), buffer.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(buffer.size()));
}

BENCHMARK_CAPTURE(BM_ContentHash, Reference, ContentHashPath::Reference)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_ContentHash, Sse2, ContentHashPath::Sse2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_ContentHash, Avx2, ContentHashPath::Avx2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_ContentHash, Avx512, ContentHashPath::Avx512)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
