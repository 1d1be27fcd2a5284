#include "writer/write_pipeline.h"

#include <algorithm>
#include <chrono>
#include <type_traits>

#include "cache/file_io.h"

namespace brivane {

namespace {

using Clock = std::chrono::steady_clock;

// Relay jobs are submitted once per sample; at this size they live inside the
// job itself, so relaying allocates nothing.
static_assert(sizeof(RelayJob<WriteEvent>) <= 96 && sizeof(RelayJob<SampleInput>) <= 96);

// The staging directory is removed; single mode reports a failed removal
// instead of the failure that caused it.
ModuleError cleaned_up(const std::filesystem::path& staging, ModuleError failure) {
  Status removed = remove_staging(staging);
  if (!removed.ok()) return std::move(removed).error();
  return failure;
}

}  // namespace

std::uint64_t WriteContext::in_flight_limit() const {
  return std::max<std::uint64_t>(1, std::min(num_workers, config->prefetch_size));
}

void record_append(Profiler& profiler, std::string_view source, const AppendResult& appended) {
  if (!profiler.enabled()) return;
  profiler.record(source, ProfileStage::metadata_validate, appended.metadata_validate, 0);
  profiler.record(source, ProfileStage::compression, appended.compression, appended.data_length);
  profiler.record(source, ProfileStage::record_encode, appended.record_encode, appended.record_length);
  profiler.record(source, ProfileStage::disk_write, appended.disk_write, appended.record_length);
}

void record_finish(Profiler& profiler, std::string_view source, const FinishedCache& finished) {
  if (!profiler.enabled()) return;
  profiler.record(source, ProfileStage::shard_flush, finished.shard_flush, 0);
  profiler.record(source, ProfileStage::finish_metadata, finished.finish_metadata, 0);
  profiler.record(source, ProfileStage::finish_index, finished.finish_index, 0);
  profiler.record(source, ProfileStage::finish_manifest, finished.finish_manifest, 0);
}

Status timed_publish(Profiler& profiler, std::string_view source, const StagedDestination& paths) {
  const Clock::time_point started = Clock::now();
  Status published = publish_cache(paths.staging, paths.destination);
  profiler.record(source, ProfileStage::publish, Clock::now() - started, 0);
  return published;
}

// ---- list mode ----

ListWritePipeline::ListWritePipeline(const WriteContext& context, std::uint64_t entries)
    : context_(context),
      relay_(context.pool, context.in_flight_limit(), context.check_signals, "pipeline sequence overflowed u64"),
      slots_(entries),
      overall_(context.config->show_progress, entries) {}

ListWritePipeline::~ListWritePipeline() {
  if (!closed_) close_walk();
}

Status ListWritePipeline::hand_off(WriteEvent&& event) {
  if (next_seq_ == UINT64_MAX) return ModuleError::invalid_argument("pipeline sequence overflowed u64");
  auto process = [this](WriteEvent&& item) { return this->process(std::move(item)); };
  BRV_TRY(relay_.hand_off(next_seq_, std::move(event), process));
  ++next_seq_;
  return ok_status();
}

Result<std::vector<SourceResult>> ListWritePipeline::finish() {
  auto process = [this](WriteEvent&& item) { return this->process(std::move(item)); };
  Status drained = relay_.drain(process);
  if (drained.ok() && !relay_.reorder_empty()) drained = ModuleError::worker_failed();
  close_walk();
  if (!drained.ok()) return std::move(drained).error();
  std::vector<SourceResult> results;
  results.reserve(slots_.size());
  for (std::optional<SourceResult>& slot : slots_) {
    if (!slot) return ModuleError::worker_failed();
    results.push_back(std::move(*slot));
  }
  return results;
}

void ListWritePipeline::abandon() {
  auto process = [this](WriteEvent&& item) { return this->process(std::move(item)); };
  while (relay_.in_flight() > 0) {
    if (!relay_.take_in_one(process).ok()) break;
  }
  close_walk();
}

void ListWritePipeline::close_walk() {
  if (current_) {
    fail_current(ModuleError::worker_failed());
    current_.reset();
  }
  overall_.finish();
  closed_ = true;
}

Status ListWritePipeline::process(WriteEvent&& event) {
  return std::visit(
      [this](auto& payload) -> Status {
        using T = std::decay_t<decltype(payload)>;
        if constexpr (std::is_same_v<T, std::unique_ptr<ResultReady>>) {
          return store(payload->position, std::move(payload->result));
        } else if constexpr (std::is_same_v<T, std::unique_ptr<BeginSource>>) {
          return begin_source(*payload);
        } else if constexpr (std::is_same_v<T, SampleInput>) {
          return add_sample(payload);
        } else if constexpr (std::is_same_v<T, EndSource>) {
          return end_source();
        } else {
          return fail_source(std::move(payload.text));
        }
      },
      event);
}

Status ListWritePipeline::store(std::uint64_t position, SourceResult result) {
  if (position >= slots_.size() || slots_[position].has_value()) return ModuleError::worker_failed();
  slots_[position] = std::move(result);
  if (completed_ != UINT64_MAX) ++completed_;
  overall_.source_finished();
  return ok_status();
}

Status ListWritePipeline::begin_source(BeginSource& begin) {
  if (current_) return ModuleError::worker_failed();
  auto progress = std::make_unique<SourceProgress>(context_.config->show_progress, begin.name, &overall_);
  current_.emplace(CurrentSource{begin.position, std::move(begin.name),
                                 StagedDestination{std::move(begin.destination), std::move(begin.staging)},
                                 std::nullopt, std::nullopt, std::move(progress)});
  const WriterConfig& config = *context_.config;
  Result<CacheWriter> writer =
      CacheWriter::create(current_->paths.staging, current_->name, config.max_shard_bytes, config.shard_compression);
  if (writer.ok()) {
    current_->writer.emplace(std::move(writer).value());
  } else {
    fail_current(writer.error());
  }
  return ok_status();
}

Status ListWritePipeline::add_sample(SampleInput& sample) {
  if (!current_) return ModuleError::worker_failed();
  if (current_->failure) return ok_status();  // a failed source's samples are dropped
  if (!current_->writer) {
    fail_current(ModuleError::worker_failed());
    return ok_status();
  }
  Result<AppendResult> appended = current_->writer->append(sample.data.data(), sample.data.size(), sample.metadata);
  if (!appended.ok()) {
    fail_current(appended.error());
    return ok_status();
  }
  record_append(*context_.profiler, current_->name, appended.value());
  current_->progress->sample_written(appended->data_length);
  return ok_status();
}

Status ListWritePipeline::end_source() {
  if (!current_) return ModuleError::worker_failed();
  SourceResult result = result_of_current();
  std::uint64_t position = current_->position;
  current_.reset();
  return store(position, std::move(result));
}

Status ListWritePipeline::fail_source(std::string text) {
  if (!current_) return ModuleError::worker_failed();
  fail_current(ModuleError::invalid_argument(std::move(text)));
  SourceResult result = SourceResult::failed(current_->name, *current_->failure);
  std::uint64_t position = current_->position;
  current_.reset();
  return store(position, std::move(result));
}

SourceResult ListWritePipeline::result_of_current() {
  CurrentSource& source = *current_;
  if (!source.failure && !source.writer) fail_current(ModuleError::worker_failed());
  if (!source.failure) {
    Result<FinishedCache> finished = std::move(*source.writer).finish();
    source.writer.reset();
    if (!finished.ok()) {
      fail_current(finished.error());
    } else {
      record_finish(*context_.profiler, source.name, finished.value());
      source.progress->finish();
      Status published = timed_publish(*context_.profiler, source.name, source.paths);
      if (published.ok()) return SourceResult::succeeded(source.name, path_text(source.paths.destination));
      fail_current(published.error());
    }
  }
  return SourceResult::failed(source.name, *source.failure);
}

void ListWritePipeline::fail_current(const ModuleError& error) {
  CurrentSource& source = *current_;
  if (source.failure) return;
  source.writer.reset();  // closes its files before the directory goes
  source.failure = with_cleanup_note(error.text(), remove_staging(source.paths.staging));
}

// ---- single mode ----

Result<std::unique_ptr<SingleSourceWrite>> SingleSourceWrite::create(const WriteContext& context, std::string name,
                                                                      StagedDestination paths) {
  const WriterConfig& config = *context.config;
  Result<CacheWriter> writer =
      CacheWriter::create(paths.staging, name, config.max_shard_bytes, config.shard_compression);
  if (!writer.ok()) return cleaned_up(paths.staging, std::move(writer).error());
  return std::unique_ptr<SingleSourceWrite>(
      new SingleSourceWrite(context, std::move(name), std::move(paths), std::move(writer).value()));
}

SingleSourceWrite::SingleSourceWrite(const WriteContext& context, std::string name, StagedDestination paths,
                                     CacheWriter writer)
    : context_(context), name_(std::move(name)), paths_(std::move(paths)), writer_(std::move(writer)) {}

SingleSourceWrite::~SingleSourceWrite() = default;

void SingleSourceWrite::start() {
  progress_ = std::make_unique<SourceProgress>(context_.config->show_progress, name_, nullptr);
  relay_.emplace(context_.pool, context_.in_flight_limit(), context_.check_signals, "sample sequence overflowed u64");
}

Status SingleSourceWrite::hand_off(SampleInput&& sample) {
  if (numbers_exhausted_) return ModuleError::invalid_argument("sample sequence overflowed u64");
  auto process = [this](SampleInput&& item) { return append(std::move(item)); };
  BRV_TRY(relay_->hand_off(next_seq_, std::move(sample), process));
  if (next_seq_ == UINT64_MAX) {
    numbers_exhausted_ = true;
  } else {
    ++next_seq_;
  }
  return ok_status();
}

Status SingleSourceWrite::append(SampleInput&& sample) {
  BRV_ASSIGN_OR_RETURN(AppendResult appended, writer_->append(sample.data.data(), sample.data.size(), sample.metadata));
  record_append(*context_.profiler, name_, appended);
  progress_->sample_written(appended.data_length);
  return ok_status();
}

Result<SourceResult> SingleSourceWrite::complete() {
  auto process = [this](SampleInput&& item) { return append(std::move(item)); };
  BRV_TRY(relay_->drain(process));
  if (!relay_->reorder_empty()) return ModuleError::worker_failed();
  relay_.reset();
  Result<FinishedCache> finished = std::move(*writer_).finish();
  writer_.reset();
  if (!finished.ok()) return std::move(finished).error();
  record_finish(*context_.profiler, name_, finished.value());
  progress_->finish();
  BRV_TRY(timed_publish(*context_.profiler, name_, paths_));
  return SourceResult::succeeded(name_, path_text(paths_.destination));
}

ModuleError SingleSourceWrite::abandon(ModuleError failure) {
  relay_.reset();
  writer_.reset();
  progress_.reset();
  return cleaned_up(paths_.staging, std::move(failure));
}

}  // namespace brivane
