// The writer's progress display on standard error: one spinner for the source
// being written and, when a list of sources is written, an overall bar that
// counts finished sources and estimates the remaining time. It only reports:
// nothing here can fail, and the counters advance whether or not anything is
// drawn.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "writer/progress_terminal.h"

namespace brivane {

inline constexpr int kStandardErrorFd = 2;
inline constexpr std::chrono::milliseconds kSpinnerTick{100};

// Progress over a list of sources.
class SourcesProgress {
 public:
  // With `show`, builds the container and its bar (prefix "sources", message
  // "ETA --"); they draw only when `fd` is a terminal.
  SourcesProgress(bool show, std::uint64_t total, int fd = kStandardErrorFd);
  // A bar still running is finished, so every way out leaves a complete line.
  ~SourcesProgress();
  SourcesProgress(const SourcesProgress&) = delete;
  SourcesProgress& operator=(const SourcesProgress&) = delete;

  // One entry of the list has its result, whatever it is.
  void source_finished();
  // Leaves the bar on screen with its last ETA message.
  void finish();

  std::uint64_t completed() const { return completed_; }
  std::uint64_t total() const { return total_; }
  // Holds the bar and the per-source spinners; null when nothing is shown.
  const std::shared_ptr<ProgressTerminal>& container() const { return container_; }
  // The bar as it shows now; nothing when there is no bar or it has finished.
  std::optional<ProgressLineState> bar_state() const;

 private:
  std::shared_ptr<ProgressTerminal> container_;
  std::optional<ProgressLine> bar_;
  std::uint64_t completed_ = 0;
  std::uint64_t total_;
  std::chrono::steady_clock::time_point started_;
};

// Progress of the one source being written. A source that fails is simply
// dropped: its spinner stays on screen as it was.
class SourceProgress {
 public:
  // With `show`, creates the spinner "writing {name}" with its steady tick,
  // inside the container of `overall` when it has one, else standalone on `fd`.
  SourceProgress(bool show, std::string_view name, const SourcesProgress* overall, int fd = kStandardErrorFd);

  // One sample of `bytes` data bytes was written.
  void sample_written(std::uint64_t bytes);
  // The source's files are written: in a container the line is cleared,
  // standalone it stays with the throughput message.
  void finish();

  std::uint64_t items() const { return items_; }
  std::uint64_t bytes() const { return bytes_; }
  bool in_container() const { return in_container_; }
  // The spinner as it shows now; nothing when there is none or it has finished.
  std::optional<ProgressLineState> spinner_state() const;

 private:
  std::chrono::steady_clock::time_point started_;
  std::optional<ProgressLine> spinner_;
  std::uint64_t items_ = 0;
  std::uint64_t bytes_ = 0;
  bool in_container_ = false;
  std::string message_;  // reused for every sample
};

}  // namespace brivane
