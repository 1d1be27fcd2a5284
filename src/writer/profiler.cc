#include "writer/profiler.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <system_error>
#include <utility>

#include "cache/file_io.h"
#include "cache/json_text.h"

namespace brivane {
namespace {

constexpr std::array<std::string_view, kProfileStageCount> kStageNames = {
    "python_next",  "python_extract", "ingress_wait",  "metadata_validate", "compression",     "record_encode",
    "disk_write",   "shard_flush",    "finish_metadata", "finish_index",    "finish_manifest", "publish",
};

// The report lists stages in byte order of their names, not the writer's.
const std::array<ProfileStage, kProfileStageCount>& stages_by_name() {
  static const auto order = [] {
    std::array<ProfileStage, kProfileStageCount> stages{};
    for (std::size_t i = 0; i < kProfileStageCount; ++i) stages[i] = static_cast<ProfileStage>(i);
    std::sort(stages.begin(), stages.end(),
              [](ProfileStage a, ProfileStage b) { return profile_stage_name(a) < profile_stage_name(b); });
    return stages;
  }();
  return order;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<std::uint64_t>::max() : sum;
}

}  // namespace

std::string_view profile_stage_name(ProfileStage stage) { return kStageNames[static_cast<std::size_t>(stage)]; }

void StageStats::add(unsigned __int128 ns, std::uint64_t byte_count) {
  calls = saturating_add(calls, 1);
  unsigned __int128 sum;
  total_ns = __builtin_add_overflow(total_ns, ns, &sum) ? ~static_cast<unsigned __int128>(0) : sum;
  bytes = saturating_add(bytes, byte_count);
}

std::string u128_decimal(unsigned __int128 value) {
  char digits[40];
  char* p = digits + sizeof digits;
  do {
    *--p = static_cast<char>('0' + static_cast<int>(value % 10));
    value /= 10;
  } while (value != 0);
  return std::string(p, digits + sizeof digits);
}

Profiler::Profiler(std::optional<std::string> report_path)
    : path_(std::move(report_path)), started_(std::chrono::steady_clock::now()) {}

void Profiler::record_enabled(std::string_view source, ProfileStage stage, unsigned __int128 ns,
                              std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (poisoned_) return;
  Table::value_type* entry = last_source_;
  if (entry == nullptr || entry->first != source) {
    try {
      auto it = table_.find(source);
      if (it == table_.end()) it = table_.emplace(std::string(source), SourceStats{}).first;
      entry = &*it;
    } catch (...) {
      poisoned_ = true;
      return;
    }
    last_source_ = entry;
  }
  entry->second.stages[static_cast<std::size_t>(stage)].add(ns, bytes);
}

std::optional<StageStats> Profiler::stats(std::string_view source, ProfileStage stage) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = table_.find(source);
  if (it == table_.end()) return std::nullopt;
  const StageStats& s = it->second.stages[static_cast<std::size_t>(stage)];
  if (s.calls == 0) return std::nullopt;
  return s;
}

Status Profiler::write_report() const {
  if (!path_) return ok_status();
  std::lock_guard<std::mutex> lock(mutex_);
  if (poisoned_) return ModuleError::worker_failed();

  const auto elapsed = std::chrono::steady_clock::now() - started_;
  const auto elapsed_ns = static_cast<std::uint64_t>(
      std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()));

  const std::filesystem::path path(*path_);
  const std::filesystem::path parent = path.parent_path();
  if (!parent.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
    if (ec) return ModuleError::io_errno(ec.value());
  }
  BRV_ASSIGN_OR_RETURN(BufferedFileWriter file, BufferedFileWriter::create(path));

  // Text is handed to the file's 8 KiB buffer one source at a time; bytes that
  // fail to leave that buffer while serialising are a JSON error.
  std::string chunk;
  PrettyJsonWriter json(chunk);
  auto hand_over = [&]() -> Status {
    Status written = file.write(chunk.data(), chunk.size());
    chunk.clear();
    if (!written.ok()) return ModuleError::json(written.error().payload());
    return ok_status();
  };
  json.begin_object();
  json.key("format_version");
  json.uint_value(1);
  json.key("elapsed_ns");
  json.uint_value(elapsed_ns);
  json.key("sources");
  json.begin_array();
  for (const auto& [name, source] : table_) {
    json.begin_object();
    json.key("source_name");
    json.string_value(name);
    json.key("stages");
    json.begin_array();
    for (ProfileStage stage : stages_by_name()) {
      const StageStats& s = source.stages[static_cast<std::size_t>(stage)];
      if (s.calls == 0) continue;
      json.begin_object();
      json.key("name");
      json.string_value(profile_stage_name(stage));
      json.key("calls");
      json.uint_value(s.calls);
      json.key("total_ns");
      json.raw_number(u128_decimal(s.total_ns));
      json.key("bytes");
      json.uint_value(s.bytes);
      json.end_object();
    }
    json.end_array();
    json.end_object();
    BRV_TRY(hand_over());
  }
  json.end_array();
  json.end_object();
  BRV_TRY(hand_over());
  // The last buffered bytes can fail too (a full disk shows up only here for
  // a report under 8 KiB): that is a lost report, not a success.
  return file.close();
}

}  // namespace brivane
