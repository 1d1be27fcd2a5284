// The write pipeline: pulled items are relayed through the worker pool and
// come back in pull order to be written on the calling thread. List mode
// carries whole sources as events and keeps one result per list entry;
// single mode carries the samples of its one source.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cache/cache_writer.h"
#include "runtime/error.h"
#include "runtime/worker_pool.h"
#include "writer/destination.h"
#include "writer/profiler.h"
#include "writer/progress.h"
#include "writer/relay_pipeline.h"
#include "writer/sample_input.h"
#include "writer/source_result.h"
#include "writer/write_events.h"
#include "writer/writer_config.h"

namespace brivane {

// What every pipeline of one write_cache call shares.
struct WriteContext {
  std::shared_ptr<WorkerPool> pool;
  std::uint64_t num_workers = 1;
  const WriterConfig* config = nullptr;
  Profiler* profiler = nullptr;
  SignalCheck check_signals;

  // min(num_workers, prefetch_size), at least 1.
  std::uint64_t in_flight_limit() const;
};

// The four append stages of one written sample.
void record_append(Profiler& profiler, std::string_view source, const AppendResult& appended);
// The four finish stages of one cache.
void record_finish(Profiler& profiler, std::string_view source, const FinishedCache& finished);
// The publishing rename, timed whatever its outcome.
Status timed_publish(Profiler& profiler, std::string_view source, const StagedDestination& paths);

class ListWritePipeline {
 public:
  // One result slot per list entry; the overall progress starts now.
  ListWritePipeline(const WriteContext& context, std::uint64_t entries);
  ListWritePipeline(const ListWritePipeline&) = delete;
  ListWritePipeline& operator=(const ListWritePipeline&) = delete;
  ~ListWritePipeline();

  // Numbers the event and relays it, first taking one item back (and writing
  // whatever is then in order) when the in-flight limit is reached.
  Status hand_off(WriteEvent&& event);

  // Normal end of the walk: everything handed over is processed, then one
  // result per entry in list order. A failure leaves nothing half-written.
  Result<std::vector<SourceResult>> finish();

  // Early end: what was handed over is still taken in and written as far as
  // possible; the source left open is failed and its staging removed.
  void abandon();

 private:
  struct CurrentSource {
    std::uint64_t position;
    std::string name;
    StagedDestination paths;
    std::optional<CacheWriter> writer;
    std::optional<std::string> failure;  // the first failure, kept
    std::unique_ptr<SourceProgress> progress;
  };

  Status process(WriteEvent&& event);
  Status store(std::uint64_t position, SourceResult result);
  Status begin_source(BeginSource& begin);
  Status add_sample(SampleInput& sample);
  Status end_source();
  Status fail_source(std::string text);
  // Records the first failure of the current source and removes its output.
  void fail_current(const ModuleError& error);
  // Finishes and publishes the current source, or reports its failure.
  SourceResult result_of_current();
  void close_walk();

  const WriteContext& context_;
  RelayPipeline<WriteEvent> relay_;
  std::uint64_t next_seq_ = 0;
  std::vector<std::optional<SourceResult>> slots_;
  std::uint64_t completed_ = 0;
  std::optional<CurrentSource> current_;
  SourcesProgress overall_;
  bool closed_ = false;
};

// The one source of single mode: its writer, its progress and its pipeline.
class SingleSourceWrite {
 public:
  // Creates the source's CacheWriter in the staging directory.
  static Result<std::unique_ptr<SingleSourceWrite>> create(const WriteContext& context, std::string name,
                                                           StagedDestination paths);
  SingleSourceWrite(const SingleSourceWrite&) = delete;
  SingleSourceWrite& operator=(const SingleSourceWrite&) = delete;
  ~SingleSourceWrite();

  // Starts the progress display and the pipeline (after iter() succeeded).
  void start();

  // Numbers the sample (0, 1, 2, … in pull order) and relays it; an append
  // that fails meanwhile is returned here.
  Status hand_off(SampleInput&& sample);

  // Drains, finishes the cache and publishes it.
  Result<SourceResult> complete();

  // Drops the pipeline (samples still out are never written) and the writer,
  // and removes the staging directory. Returns the failure to report: the
  // removal's own error replaces `failure` when the removal fails.
  ModuleError abandon(ModuleError failure);

  const std::string& name() const { return name_; }

 private:
  SingleSourceWrite(const WriteContext& context, std::string name, StagedDestination paths, CacheWriter writer);
  Status append(SampleInput&& sample);

  const WriteContext& context_;
  std::string name_;
  StagedDestination paths_;
  std::optional<CacheWriter> writer_;
  std::unique_ptr<SourceProgress> progress_;
  std::optional<RelayPipeline<SampleInput>> relay_;
  std::uint64_t next_seq_ = 0;
  bool numbers_exhausted_ = false;
};

}  // namespace brivane
