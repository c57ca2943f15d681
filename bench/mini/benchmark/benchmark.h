// A stand-in for the part of Google Benchmark that bench/ uses, for targets
// Google Benchmark is not built for (the i686 Windows build). The same
// benchmark sources compile against it, and it prints the same console
// table and JSON fields, so scripts/bench reads both alike.
//
// Like Google Benchmark, each benchmark runs with a growing iteration count
// until one run takes at least --benchmark_min_time seconds (0.5 by
// default); that run is reported.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace benchmark {

enum TimeUnit { kNanosecond, kMicrosecond, kMillisecond, kSecond };

class State {
 public:
  explicit State(int64_t max_iterations) : max_iterations_(max_iterations) {}

  // for (auto _ : state) runs the body max_iterations times; the clock runs
  // from the first to the last pass.
  // Marked unused so that for (auto _ : state) draws no warning.
  struct __attribute__((unused)) Value {};
  class Iterator {
   public:
    Iterator(State* state, int64_t left) : state_(state), left_(left) {}
    Value operator*() const { return {}; }
    Iterator& operator++() {
      --left_;
      return *this;
    }
    bool operator!=(const Iterator&) {
      if (left_ > 0) return true;
      state_->Stop();
      return false;
    }

   private:
    State* state_;
    int64_t left_;
  };
  Iterator begin();
  Iterator end() { return Iterator(this, 0); }

  int64_t iterations() const { return done_ ? max_iterations_ : 0; }
  void SetBytesProcessed(int64_t bytes) { bytes_ = bytes; }
  void SkipWithError(const char* message) {
    error_ = message;
    max_iterations_ = 0;
  }

  // For the runner.
  double real_seconds() const { return real_seconds_; }
  double cpu_seconds() const { return cpu_seconds_; }
  int64_t bytes() const { return bytes_; }
  const std::string& error() const { return error_; }

 private:
  void Stop();

  int64_t max_iterations_;
  bool done_ = false;
  int64_t bytes_ = 0;
  std::string error_;
  double real_start_ = 0, cpu_start_ = 0;
  double real_seconds_ = 0, cpu_seconds_ = 0;
};

namespace internal {

class Benchmark {
 public:
  Benchmark(std::string name, std::function<void(State&)> function)
      : name_(std::move(name)), function_(std::move(function)) {}
  Benchmark* Unit(TimeUnit unit) {
    unit_ = unit;
    return this;
  }
  Benchmark* UseRealTime() {
    use_real_time_ = true;
    return this;
  }

  const std::string& name() const { return name_; }
  void Run(State& state) const { function_(state); }
  TimeUnit unit() const { return unit_; }
  bool use_real_time() const { return use_real_time_; }

 private:
  std::string name_;
  std::function<void(State&)> function_;
  TimeUnit unit_ = kNanosecond;
  bool use_real_time_ = false;
};

Benchmark* Register(const char* name, std::function<void(State&)> function);

}  // namespace internal

template <typename T>
inline void DoNotOptimize(T& value) {
  asm volatile("" : "+m"(value) : : "memory");
}

inline void ClobberMemory() { asm volatile("" : : : "memory"); }

void Initialize(int* argc, char** argv);
void RunSpecifiedBenchmarks();
void Shutdown();

}  // namespace benchmark

#define BENCHMARK_NAME_JOIN2(a, b) a##b
#define BENCHMARK_NAME_JOIN(a, b) BENCHMARK_NAME_JOIN2(a, b)
#define BENCHMARK_REGISTRATION BENCHMARK_NAME_JOIN(benchmark_registration_, __LINE__)

#define BENCHMARK(function)                                                                      \
  [[maybe_unused]] static ::benchmark::internal::Benchmark* BENCHMARK_REGISTRATION = \
      ::benchmark::internal::Register(#function, function)

#define BENCHMARK_CAPTURE(function, test_case, ...)                                             \
  [[maybe_unused]] static ::benchmark::internal::Benchmark* BENCHMARK_REGISTRATION = \
      ::benchmark::internal::Register(#function "/" #test_case,                                 \
                                      [](::benchmark::State& state) { function(state, __VA_ARGS__); })

#define BENCHMARK_MAIN()                            \
  int main(int argc, char** argv) {                 \
    ::benchmark::Initialize(&argc, argv);           \
    ::benchmark::RunSpecifiedBenchmarks();          \
    ::benchmark::Shutdown();                        \
    return 0;                                       \
  }                                                 \
  int main(int, char**)
