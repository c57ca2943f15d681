#include "benchmark/benchmark.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <regex>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace benchmark {
namespace {

struct Options {
  bool json = false;
  double min_time = 0.5;
  std::string filter = ".";
};

Options& GetOptions() {
  static Options options;
  return options;
}

std::vector<std::unique_ptr<internal::Benchmark>>& Registry() {
  static std::vector<std::unique_ptr<internal::Benchmark>> registry;
  return registry;
}

double RealNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The process's processor time; std::clock() measures wall time on Windows.
double CpuNow() {
#ifdef _WIN32
  FILETIME creation, exit, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user);
  auto ticks = [](const FILETIME& t) {
    return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  return (ticks(kernel) + ticks(user)) * 1e-7;
#else
  return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
#endif
}

const char* UnitName(TimeUnit unit) {
  switch (unit) {
    case kNanosecond:
      return "ns";
    case kMicrosecond:
      return "us";
    case kMillisecond:
      return "ms";
    case kSecond:
      return "s";
  }
  return "ns";
}

double UnitsPerSecond(TimeUnit unit) {
  switch (unit) {
    case kNanosecond:
      return 1e9;
    case kMicrosecond:
      return 1e6;
    case kMillisecond:
      return 1e3;
    case kSecond:
      return 1;
  }
  return 1e9;
}

// Google Benchmark's console form of a rate: 1024-based prefixes.
std::string HumanRate(double value) {
  const char* prefixes[] = {"", "k", "M", "G", "T"};
  int prefix = 0;
  while (value >= 1024 && prefix < 4) {
    value /= 1024;
    ++prefix;
  }
  char text[64];
  snprintf(text, sizeof text, "%.6g%s/s", value, prefixes[prefix]);
  return text;
}

struct Report {
  std::string name;
  std::string error;
  int64_t iterations = 0;
  double real_time = 0, cpu_time = 0;  // per iteration, in unit
  TimeUnit unit = kNanosecond;
  double bytes_per_second = 0;
};

Report RunOne(const internal::Benchmark& benchmark) {
  const Options& options = GetOptions();
  Report report;
  report.name = benchmark.name() + (benchmark.use_real_time() ? "/real_time" : "");
  report.unit = benchmark.unit();
  int64_t iterations = 1;
  for (;;) {
    State state(iterations);
    benchmark.Run(state);
    if (!state.error().empty()) {
      report.error = state.error();
      return report;
    }
    const double seconds = benchmark.use_real_time() ? state.real_seconds() : state.cpu_seconds();
    if (seconds >= options.min_time || iterations >= 1000000000) {
      const double per_unit = UnitsPerSecond(report.unit);
      report.iterations = iterations;
      report.real_time = state.real_seconds() / static_cast<double>(iterations) * per_unit;
      report.cpu_time = state.cpu_seconds() / static_cast<double>(iterations) * per_unit;
      report.bytes_per_second = seconds > 0 ? static_cast<double>(state.bytes()) / seconds : 0;
      return report;
    }
    double multiplier = options.min_time * 1.4 / (seconds > 1e-9 ? seconds : 1e-9);
    if (seconds / options.min_time <= 0.1 && multiplier > 10) multiplier = 10;
    const auto next = static_cast<int64_t>(static_cast<double>(iterations) * multiplier);
    iterations = next > iterations ? next : iterations + 1;
  }
}

void PrintConsoleHeader() {
  printf("%s\n", std::string(80, '-').c_str());
  printf("%-40s %13s %15s %12s %s\n", "Benchmark", "Time", "CPU", "Iterations", "UserCounters...");
  printf("%s\n", std::string(80, '-').c_str());
}

void PrintConsole(const Report& r) {
  if (!r.error.empty()) {
    printf("%-40s ERROR OCCURRED: '%s'\n", r.name.c_str(), r.error.c_str());
  } else {
    printf("%-40s %10.3g %s %12.3g %s %12lld bytes_per_second=%s\n", r.name.c_str(), r.real_time, UnitName(r.unit),
           r.cpu_time, UnitName(r.unit), static_cast<long long>(r.iterations), HumanRate(r.bytes_per_second).c_str());
  }
  fflush(stdout);
}

void PrintJson(const std::vector<Report>& reports) {
  printf("{\n  \"context\": {\n    \"library\": \"mini_benchmark\"\n  },\n  \"benchmarks\": [\n");
  for (size_t i = 0; i < reports.size(); ++i) {
    const Report& r = reports[i];
    printf("    {\n      \"name\": \"%s\",\n      \"run_name\": \"%s\",\n      \"run_type\": \"iteration\",\n",
           r.name.c_str(), r.name.c_str());
    if (!r.error.empty()) {
      printf("      \"error_occurred\": true,\n      \"error_message\": \"%s\",\n", r.error.c_str());
    }
    printf("      \"iterations\": %lld,\n      \"real_time\": %.15e,\n      \"cpu_time\": %.15e,\n"
           "      \"time_unit\": \"%s\"",
           static_cast<long long>(r.iterations), r.real_time, r.cpu_time, UnitName(r.unit));
    if (r.error.empty()) printf(",\n      \"bytes_per_second\": %.15e", r.bytes_per_second);
    printf("\n    }%s\n", i + 1 < reports.size() ? "," : "");
  }
  printf("  ]\n}\n");
}

}  // namespace

State::Iterator State::begin() {
  real_start_ = RealNow();
  cpu_start_ = CpuNow();
  return Iterator(this, max_iterations_);
}

void State::Stop() {
  real_seconds_ = RealNow() - real_start_;
  cpu_seconds_ = CpuNow() - cpu_start_;
  done_ = true;
}

namespace internal {

Benchmark* Register(const char* name, std::function<void(State&)> function) {
  Registry().push_back(std::make_unique<Benchmark>(name, std::move(function)));
  return Registry().back().get();
}

}  // namespace internal

void Initialize(int* argc, char** argv) {
  Options& options = GetOptions();
  for (int i = 1; i < *argc; ++i) {
    const char* arg = argv[i];
    if (strcmp(arg, "--benchmark_format=json") == 0) {
      options.json = true;
    } else if (strcmp(arg, "--benchmark_format=console") == 0) {
      options.json = false;
    } else if (strncmp(arg, "--benchmark_min_time=", 21) == 0) {
      options.min_time = atof(arg + 21);
    } else if (strncmp(arg, "--benchmark_filter=", 19) == 0) {
      options.filter = arg + 19;
    } else {
      fprintf(stderr, "unknown argument %s (this stand-in knows --benchmark_format, _min_time, _filter)\n", arg);
      exit(1);
    }
  }
}

void RunSpecifiedBenchmarks() {
  const Options& options = GetOptions();
  const std::regex filter(options.filter);
  std::vector<Report> reports;
  if (!options.json) PrintConsoleHeader();
  for (const auto& benchmark : Registry()) {
    if (!std::regex_search(benchmark->name(), filter)) continue;
    reports.push_back(RunOne(*benchmark));
    if (!options.json) PrintConsole(reports.back());
  }
  if (options.json) PrintJson(reports);
}

void Shutdown() {}

}  // namespace benchmark
