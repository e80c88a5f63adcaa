// MD5 throughput: this project's digest against OpenSSL's on the block sizes the programs
// stream (10240 bytes) and on large blocks (1 MiB). After the runs the ratio of the two
// throughputs is printed for each block size; each benchmark runs several repetitions,
// interleaved ours/OpenSSL, and the best repetition of each counts, which keeps the ratio
// steady on a shared machine. The median repetition is printed beside it, and one
// machine-readable line per block size ("md5 block=... ours_best=... ...", MB/s) closes the run.

// The low-level MD5 interface is deprecated in OpenSSL 3 but is the plain reference
// (no provider dispatch); the benchmark is the only user of OpenSSL.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <benchmark/benchmark.h>
#include <openssl/md5.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "common/md5.h"

namespace {

constexpr std::int64_t kChunkSize = 10240;
constexpr std::int64_t kLargeSize = 1 << 20;
constexpr int kRepetitions = 5;

std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t x = 0x12345678;
  for (auto& b : bytes) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return bytes;
}

void BM_Md5Ours(benchmark::State& state) {
  const auto data = Pattern(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    quarv::Md5Context context;
    quarv::Md5Init(&context);
    quarv::Md5Update(&context, data.data(), static_cast<std::uint32_t>(data.size()));
    quarv::Md5Final(&context);
    benchmark::DoNotOptimize(context.digest);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Md5OpenSsl(benchmark::State& state) {
  const auto data = Pattern(static_cast<std::size_t>(state.range(0)));
  unsigned char digest[MD5_DIGEST_LENGTH];
  for (auto _ : state) {
    MD5_CTX context;
    MD5_Init(&context);
    MD5_Update(&context, data.data(), data.size());
    MD5_Final(digest, &context);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Registered alternately so that both sides of a ratio run close together in time.
void Register() {
  for (std::int64_t size : {kChunkSize, kLargeSize}) {
    benchmark::RegisterBenchmark("md5/ours", BM_Md5Ours)->Arg(size)->Repetitions(kRepetitions);
    benchmark::RegisterBenchmark("md5/openssl", BM_Md5OpenSsl)
        ->Arg(size)
        ->Repetitions(kRepetitions);
  }
}

// The console output as usual, plus the throughput of every repetition of each benchmark
// instance.
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  CollectingReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const auto counter = run.counters.find("bytes_per_second");
      if (counter == run.counters.end()) continue;
      rates_[run.run_name.function_name + "/" + run.run_name.args].push_back(counter->second.value);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Best bytes per second of `name` ("md5/ours") with argument `size`; 0 when it did not run.
  double Best(const std::string& name, std::int64_t size) const {
    const std::vector<double> rates = Rates(name, size);
    return rates.empty() ? 0.0 : rates.back();
  }

  // The median repetition (the lower middle one of an even count); 0 when it did not run.
  double Median(const std::string& name, std::int64_t size) const {
    const std::vector<double> rates = Rates(name, size);
    return rates.empty() ? 0.0 : rates[(rates.size() - 1) / 2];
  }

 private:
  // The rates of every repetition, ascending.
  std::vector<double> Rates(const std::string& name, std::int64_t size) const {
    const auto it = rates_.find(name + "/" + std::to_string(size));
    if (it == rates_.end()) return {};
    std::vector<double> rates = it->second;
    std::sort(rates.begin(), rates.end());
    return rates;
  }

  std::map<std::string, std::vector<double>> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Register();

  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const struct {
    std::int64_t size;
    const char* label;
  } sizes[] = {{kChunkSize, "10240B"}, {kLargeSize, "1MiB"}};
  for (const auto& s : sizes) {
    const double ours = reporter.Best("md5/ours", s.size);
    const double openssl = reporter.Best("md5/openssl", s.size);
    const double oursMedian = reporter.Median("md5/ours", s.size);
    const double opensslMedian = reporter.Median("md5/openssl", s.size);
    if (ours > 0 && openssl > 0) {
      std::printf(
          "md5 ratio ours/openssl %s: %.3f (%.1f vs %.1f MB/s, best of %d; median %.1f vs "
          "%.1f MB/s)\n",
          s.label, ours / openssl, ours / 1e6, openssl / 1e6, kRepetitions, oursMedian / 1e6,
          opensslMedian / 1e6);
      std::printf(
          "md5 block=%s ours_best=%.1f ours_median=%.1f openssl_best=%.1f "
          "openssl_median=%.1f\n",
          s.label, ours / 1e6, oursMedian / 1e6, openssl / 1e6, opensslMedian / 1e6);
    }
  }
  return 0;
}
