#include "writer/progress.h"

#include "writer/progress_format.h"

namespace brivane {

SourcesProgress::SourcesProgress(bool show, std::uint64_t total, int fd)
    : total_(total), started_(std::chrono::steady_clock::now()) {
  if (!show) return;
  container_ = std::make_shared<ProgressTerminal>(fd);
  ProgressLineState bar;
  bar.kind = ProgressLineKind::bar;
  bar.prefix = "sources";
  bar.message = kEtaUnknown;
  bar.len = total;
  bar_.emplace(container_, std::move(bar));
}

SourcesProgress::~SourcesProgress() { finish(); }

void SourcesProgress::source_finished() {
  completed_ = saturating_increment(completed_, 1);
  if (!bar_) return;
  const double elapsed = progress_elapsed_seconds(std::chrono::steady_clock::now() - started_);
  bar_->inc_with_message(1, eta_message(completed_, total_, elapsed));
}

void SourcesProgress::finish() {
  if (bar_) bar_->finish();
}

std::optional<ProgressLineState> SourcesProgress::bar_state() const {
  if (!bar_) return std::nullopt;
  return bar_->state();
}

SourceProgress::SourceProgress(bool show, std::string_view name, const SourcesProgress* overall, int fd)
    : started_(std::chrono::steady_clock::now()) {
  if (!show) return;
  std::shared_ptr<ProgressTerminal> terminal;
  if (overall != nullptr && overall->container()) {
    terminal = overall->container();
    in_container_ = true;
  } else {
    terminal = std::make_shared<ProgressTerminal>(fd);
  }
  ProgressLineState spinner;
  spinner.kind = ProgressLineKind::spinner;
  spinner.message = writing_message(name);
  spinner_.emplace(std::move(terminal), std::move(spinner));
  spinner_->enable_steady_tick(kSpinnerTick);
}

void SourceProgress::sample_written(std::uint64_t bytes) {
  items_ = saturating_increment(items_, 1);
  bytes_ = saturating_increment(bytes_, bytes);
  // A hidden spinner shows nothing: skip the formatting and the lock.
  if (!spinner_ || !spinner_->visible()) return;
  const double elapsed = progress_elapsed_seconds(std::chrono::steady_clock::now() - started_);
  format_throughput_message(message_, items_, bytes_, elapsed);
  spinner_->inc_with_message(1, message_);
}

void SourceProgress::finish() {
  if (!spinner_) return;
  if (in_container_) {
    spinner_->finish_and_clear();
    return;
  }
  const double elapsed = progress_elapsed_seconds(std::chrono::steady_clock::now() - started_);
  spinner_->finish_with_message(throughput_message(items_, bytes_, elapsed));
}

std::optional<ProgressLineState> SourceProgress::spinner_state() const {
  if (!spinner_) return std::nullopt;
  return spinner_->state();
}

}  // namespace brivane
