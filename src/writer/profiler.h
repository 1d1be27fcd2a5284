// Where the writer's time goes: per (source, stage) call counts, summed
// durations and byte counts, written as a pretty JSON report at the end of a
// write_cache call.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/error.h"

namespace brivane {

// The writer's timed steps, in the writer's own order. The names are part of
// the report format.
enum class ProfileStage : std::uint8_t {
  python_next,
  python_extract,
  ingress_wait,
  metadata_validate,
  compression,
  record_encode,
  disk_write,
  shard_flush,
  finish_metadata,
  finish_index,
  finish_manifest,
  publish,
};

inline constexpr std::size_t kProfileStageCount = 12;

// "python_next", "compression", ...
std::string_view profile_stage_name(ProfileStage stage);

// A measured span as whole seconds plus nanoseconds. Built implicitly from
// any std::chrono duration; a negative one counts as zero.
struct ProfileDuration {
  std::uint64_t seconds = 0;
  std::uint32_t nanos = 0;

  constexpr ProfileDuration() = default;
  constexpr ProfileDuration(std::uint64_t whole_seconds, std::uint32_t nanoseconds)
      : seconds(whole_seconds), nanos(nanoseconds) {}
  template <class Rep, class Period>
  ProfileDuration(std::chrono::duration<Rep, Period> d) {  // NOLINT: implicit by design
    if (d <= d.zero()) return;
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(d);
    seconds = static_cast<std::uint64_t>(whole.count());
    nanos = static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(d - whole).count());
  }

  unsigned __int128 total_ns() const {
    return static_cast<unsigned __int128>(seconds) * 1'000'000'000u + nanos;
  }
};

// Totals of one (source, stage) pair. Only reports, so every sum saturates.
struct StageStats {
  std::uint64_t calls = 0;
  unsigned __int128 total_ns = 0;
  std::uint64_t bytes = 0;

  void add(unsigned __int128 ns, std::uint64_t byte_count);
};

// Decimal text of a 128-bit unsigned value.
std::string u128_decimal(unsigned __int128 value);

class Profiler {
 public:
  // Profiling off: record() returns at once and no report is written.
  Profiler() : Profiler(std::nullopt) {}
  // Profiling on exactly when `report_path` is present; the clock starts now.
  explicit Profiler(std::optional<std::string> report_path);

  Profiler(const Profiler&) = delete;
  Profiler& operator=(const Profiler&) = delete;

  bool enabled() const { return path_.has_value(); }
  const std::optional<std::string>& path() const { return path_; }

  // Adds one call of `stage` under `source`. Never fails.
  void record(std::string_view source, ProfileStage stage, ProfileDuration duration, std::uint64_t bytes) {
    if (!path_) return;
    record_enabled(source, stage, duration.total_ns(), bytes);
  }

  // Writes the report to path() (missing parent directories are created).
  // Success when profiling is off.
  Status write_report() const;

  // The totals of one pair, if it was ever recorded.
  std::optional<StageStats> stats(std::string_view source, ProfileStage stage) const;

 private:
  struct SourceStats {
    // Indexed by ProfileStage; calls == 0 marks a stage never recorded.
    std::array<StageStats, kProfileStageCount> stages{};
  };
  using Table = std::map<std::string, SourceStats, std::less<>>;

  void record_enabled(std::string_view source, ProfileStage stage, unsigned __int128 ns, std::uint64_t bytes);

  std::optional<std::string> path_;
  std::chrono::steady_clock::time_point started_;
  mutable std::mutex mutex_;
  // Set when an update was cut short (allocation failure): the table may be
  // half-updated, so later writes of the report refuse it.
  bool poisoned_ = false;
  Table table_;
  // Most records repeat the previous source; map nodes are stable.
  Table::value_type* last_source_ = nullptr;
};

}  // namespace brivane
