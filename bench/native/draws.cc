// Shuffled draws per second on one thread, through the same plan the prefetch
// pipeline uses. Usage: bench_draws [draws_per_case]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dataset/chacha8.h"
#include "dataset/draw_sampler.h"
#include "dataset/epoch_plan.h"
#include "dataset/sampling_state.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

volatile std::uint64_t g_sink;

void report(const char* name, std::uint64_t draws, double seconds) {
  std::printf("%-44s %12.0f draws/s  (%.1f ns/draw)\n", name, draws / seconds, seconds * 1e9 / draws);
}

int drain(const char* name, brivane::EpochPlan plan) {
  const std::uint64_t n = plan.len();
  std::uint64_t sum = 0;
  const auto start = Clock::now();
  for (std::uint64_t j = 0; j < n; ++j) {
    auto physical = plan.next_physical();
    if (!physical.ok()) {
      std::fprintf(stderr, "%s: draw %llu failed\n", name, static_cast<unsigned long long>(j));
      return 1;
    }
    sum += *physical;
  }
  report(name, n, seconds_since(start));
  g_sink = sum;
  return 0;
}

int shuffled(const char* name, brivane::SamplingState& state, std::uint64_t total) {
  auto plan = brivane::plan_epoch(state, true, 12345, total);
  if (!plan.ok()) {
    std::fprintf(stderr, "%s: %s\n", name, plan.error().text().c_str());
    return 1;
  }
  return drain(name, std::move(plan).value());
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t draws = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2'000'000;
  int failures = 0;

  {
    std::uint64_t sum = 0;
    const auto start = Clock::now();
    for (std::uint64_t k = 0; k < draws; ++k) {
      brivane::ChaCha8Stream stream(brivane::draw_stream_seed(12345, k));
      sum += stream.next_u64();
    }
    report("keystream (expand + first block)", draws, seconds_since(start));
    g_sink = sum;
  }

  for (const auto& [name, population] : {std::pair{"uniform, 1M samples", std::uint64_t{1'000'000}},
                                         std::pair{"uniform, 2^63+1 samples (worst rejection)",
                                                   (std::uint64_t{1} << 63) + 1}}) {
    auto state = brivane::initial_sampling_state(population);
    (void)brivane::set_epoch_len(state, draws);
    failures += shuffled(name, state, population);
  }

  {
    constexpr std::uint64_t kRows = 10'000'000;
    auto rows = std::make_shared<std::vector<std::uint64_t>>(kRows);
    auto weights = std::make_shared<std::vector<double>>(kRows);
    for (std::uint64_t i = 0; i < kRows; ++i) {
      (*rows)[i] = kRows - 1 - i;
      (*weights)[i] = 0.5 + static_cast<double>(i % 7);
    }
    auto state = brivane::initial_sampling_state(kRows);
    brivane::install_active_table(state, {rows, weights, std::make_shared<const std::string>()});
    (void)brivane::set_epoch_len(state, draws);

    const auto start = Clock::now();
    auto plan = brivane::plan_epoch(state, true, 12345, kRows);
    const double build = seconds_since(start);
    if (!plan.ok()) {
      std::fprintf(stderr, "weighted plan: %s\n", plan.error().text().c_str());
      return 1;
    }
    std::printf("%-44s %12.1f ms\n", "weighted plan build, 10M rows", build * 1e3);
    failures += drain("weighted, 10M rows", std::move(plan).value());
  }
  return failures == 0 ? 0 : 1;
}
