#include "dataset/prefetch_pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "cache/open_cache.h"
#include "dataset/dataset_open.h"
#include "dataset/draw_sampler.h"
#include "dataset/epoch_plan.h"
#include "dataset_test_caches.h"
#include "runtime/worker_pool.h"

namespace brivane {
namespace {

using testing_caches::sample_text;
using testing_caches::TempRoot;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string text_of(const LoadedSample& loaded) {
  auto data = loaded.sample.data();
  return std::string(reinterpret_cast<const char*>(data.data()), data.size());
}

std::shared_ptr<WorkerPool> start_pool(std::uint64_t workers) {
  auto pool = WorkerPool::start(workers);
  EXPECT_TRUE(pool.ok());
  return *pool;
}

// Blocks until every job queued on `pool` before this call has run (for a
// pool of one worker, whose queue is first in, first out).
void drain_single_worker(const WorkerPool& pool) {
  std::promise<void> done;
  auto future = done.get_future();
  ASSERT_TRUE(pool.submit(Job([&done] { done.set_value(); })).ok());
  future.wait();
}

EpochPlan sequential_plan(std::uint64_t count, std::uint64_t population) {
  return EpochPlan::sequential(0, count, population, nullptr);
}

// A stand-in for read_sample that records the reads, can fail one sample and
// can hold chosen reads back until the test lets them go. Shared with the jobs,
// which may outlive the pipeline.
struct ReadScript {
  std::mutex mutex;
  std::condition_variable changed;
  std::set<std::uint64_t> held;     // sample ids whose read waits for release()
  std::uint64_t fail_id = UINT64_MAX;
  std::vector<std::uint64_t> started;  // sample ids in the order their reads began
  std::uint64_t finished = 0;
  std::uint64_t waiting = 0;  // reads currently held back

  static SampleReader reader(const std::shared_ptr<ReadScript>& script) {
    return [script](const OpenedCache& cache, std::uint64_t id, ShardReaderCache& readers) {
      return script->read(cache, id, readers);
    };
  }

  Result<SampleData> read(const OpenedCache& cache, std::uint64_t id, ShardReaderCache& readers) {
    std::unique_lock<std::mutex> lock(mutex);
    started.push_back(id);
    ++waiting;
    changed.notify_all();
    changed.wait(lock, [&] { return !held.count(id); });
    --waiting;
    ++finished;
    changed.notify_all();
    if (id == fail_id) return ModuleError::io("scripted failure");
    lock.unlock();
    return read_sample(cache, id, readers);
  }

  void release(std::uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex);
    held.erase(id);
    changed.notify_all();
  }

  // Waits until `ready` holds (true) or the timeout passes (false).
  template <class Ready>
  bool wait_for(std::chrono::milliseconds timeout, Ready ready) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return ready(); });
  }
};

class PrefetchPipelineTest : public TempRoot {
 protected:
  // One dataset core over caches of the given sizes (0 = an empty cache).
  std::shared_ptr<DatasetCore> dataset(const std::vector<std::uint64_t>& sizes) {
    std::vector<std::string> paths;
    for (std::size_t k = 0; k < sizes.size(); ++k) {
      const std::string name = "c" + std::to_string(k);
      paths.push_back(sizes[k] ? write_cache(name, sizes[k]) : write_empty_cache(name));
    }
    auto core = open_dataset(start_pool(2), 2, paths, DatasetSettings{});
    EXPECT_TRUE(core.ok()) << core.error().text();
    return *core;
  }

  // One position per read job unless `batch` says otherwise (0: the
  // pipeline's own choice).
  static PipelineSources sources(const DatasetCore& core, std::shared_ptr<WorkerPool> pool, std::uint64_t prefetch,
                                 SampleReader reader = {}, std::uint64_t batch = 1) {
    const std::uint64_t workers = pool->num_workers();
    return PipelineSources{std::move(pool), core.caches,       core.cache_offsets, prefetch,
                           workers,         std::move(reader), batch};
  }

  static std::unique_ptr<PrefetchPipeline> start(PipelineSources s, EpochPlan plan) {
    auto pipeline = PrefetchPipeline::start(std::move(s), std::move(plan));
    EXPECT_TRUE(pipeline.ok()) << pipeline.error().text();
    return pipeline.ok() ? std::move(*pipeline) : nullptr;
  }

  // The identity and data of the sample at physical index p.
  static std::string expected_text(const DatasetCore& core, std::uint64_t physical) {
    auto at = locate_sample(*core.cache_offsets, *core.caches, physical);
    EXPECT_TRUE(at.ok());
    return sample_text("c" + std::to_string(at->cache_id), at->sample_id);
  }
};

TEST(LocateSampleTest, SkipsEmptyCachesAndRefusesWhatLiesBeyond) {
  // Sizes 3, 0, 2: offsets 0, 3, 3.
  std::vector<std::shared_ptr<const OpenedCache>> caches;
  for (std::uint64_t size : {3, 0, 2}) {
    auto cache = std::make_shared<OpenedCache>();
    cache->index.resize(size);
    caches.push_back(cache);
  }
  const std::vector<std::uint64_t> offsets{0, 3, 3};
  struct Case {
    std::uint64_t physical;
    std::uint64_t cache_id;
    std::uint64_t sample_id;
  };
  for (const Case& c : std::vector<Case>{{0, 0, 0}, {2, 0, 2}, {3, 2, 0}, {4, 2, 1}}) {
    auto at = locate_sample(offsets, caches, c.physical);
    ASSERT_TRUE(at.ok()) << c.physical;
    EXPECT_EQ(at->cache_id, c.cache_id) << c.physical;
    EXPECT_EQ(at->sample_id, c.sample_id) << c.physical;
  }
  struct Refusal {
    std::vector<std::uint64_t> offsets;
    std::size_t caches;
    std::uint64_t physical;
    std::string message;
  };
  const std::vector<Refusal> refusals = {
      {offsets, 3, 5, "physical sample 5 is out of range"},
      {offsets, 3, UINT64_MAX, "physical sample 18446744073709551615 is out of range"},
      {{1, 3}, 2, 0, "physical sample 0 is out of range"},  // before the first offset
      {offsets, 2, 3, "cache id is out of range"},           // more offsets than caches
  };
  for (const Refusal& r : refusals) {
    std::vector<std::shared_ptr<const OpenedCache>> some(caches.begin(), caches.begin() + r.caches);
    auto at = locate_sample(r.offsets, some, r.physical);
    ASSERT_FALSE(at.ok()) << r.message;
    EXPECT_EQ(at.error().kind(), ErrorKind::InvalidCache);
    EXPECT_EQ(at.error().payload(), r.message);
  }
}

TEST_F(PrefetchPipelineTest, InFlightLimitIsTheSmallestOfPrefetchWorkersAndEpoch) {
  auto core = dataset({3, 0, 2});
  struct Case {
    std::uint64_t workers, prefetch, epoch, limit;
  };
  for (const Case& c : std::vector<Case>{{4, 64, 1, 1}, {4, 3, 10, 3}, {2, 8, 10, 2}, {1, 1, 5, 1}}) {
    auto pipeline = start(sources(*core, start_pool(c.workers), c.prefetch), sequential_plan(c.epoch, 5));
    ASSERT_TRUE(pipeline);
    EXPECT_EQ(pipeline->in_flight_limit(), c.limit);
    EXPECT_EQ(pipeline->submitted(), c.limit);  // the initial fill
    std::vector<std::string> seen;
    for (;;) {
      auto item = pipeline->next();
      ASSERT_TRUE(item.ok()) << item.error().text();
      if (!item->has_value()) break;
      seen.push_back(text_of(**item));
      EXPECT_LE(pipeline->in_flight(), c.limit);
    }
    ASSERT_EQ(seen.size(), c.epoch);
    for (std::uint64_t j = 0; j < c.epoch; ++j) EXPECT_EQ(seen[j], expected_text(*core, j % 5));
    EXPECT_TRUE(pipeline->finished());
    EXPECT_FALSE(pipeline->next()->has_value());  // ended for good
  }
}

TEST_F(PrefetchPipelineTest, SlowFirstReadHoldsBackOnlyTheWindow) {
  auto core = dataset({40});
  auto script = std::make_shared<ReadScript>();
  script->held = {0};
  // 4 reads in flight, positions up to 8 ahead of the next one to deliver.
  auto pipeline = start(sources(*core, start_pool(4), 8, ReadScript::reader(script)), sequential_plan(40, 40));
  ASSERT_TRUE(pipeline);
  EXPECT_EQ(pipeline->window(), 8u);

  std::vector<std::string> seen;
  auto consumer = std::async(std::launch::async, [&] {
    for (auto item = pipeline->next(); item.ok() && item->has_value(); item = pipeline->next()) {
      seen.push_back(text_of(**item));
    }
  });
  // Positions 1..7 finish while 0 is held; nothing further may even start.
  // (The wait gives a pipeline without a window the time to overrun it.)
  script->wait_for(500ms, [&] { return script->finished >= 12; });
  {
    std::lock_guard<std::mutex> lock(script->mutex);
    EXPECT_EQ(script->finished, 7u);
    for (std::uint64_t id : script->started) EXPECT_LT(id, 8u);
  }
  script->release(0);
  consumer.wait();

  ASSERT_EQ(seen.size(), 40u);
  for (std::uint64_t j = 0; j < 40; ++j) EXPECT_EQ(seen[j], expected_text(*core, j));
  EXPECT_LE(pipeline->peak_buffered(), 7u);
  EXPECT_GE(pipeline->peak_buffered(), 1u);
}

TEST_F(PrefetchPipelineTest, FailureEndsTheEpochAtOnce) {
  auto core = dataset({20});
  {
    // One read at a time: positions 0..4 come out, then the failure of 5.
    auto script = std::make_shared<ReadScript>();
    script->fail_id = 5;
    auto pipeline = start(sources(*core, start_pool(2), 1, ReadScript::reader(script)), sequential_plan(20, 20));
    for (std::uint64_t j = 0; j < 5; ++j) {
      auto item = pipeline->next();
      ASSERT_TRUE(item.ok() && item->has_value()) << j;
      EXPECT_EQ(text_of(**item), expected_text(*core, j));
    }
    auto failed = pipeline->next();
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().kind(), ErrorKind::Io);
    EXPECT_EQ(failed.error().payload(), "scripted failure");
    for (int k = 0; k < 2; ++k) {
      auto after = pipeline->next();
      ASSERT_TRUE(after.ok());
      EXPECT_FALSE(after->has_value());
    }
  }
  {
    // The failure of 5 overtakes position 0, which is still being read.
    auto script = std::make_shared<ReadScript>();
    script->fail_id = 5;
    script->held = {0};
    auto pipeline = start(sources(*core, start_pool(4), 8, ReadScript::reader(script)), sequential_plan(20, 20));
    auto failed = pipeline->next();
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().payload(), "scripted failure");
    EXPECT_FALSE(pipeline->next()->has_value());
    script->release(0);
  }
}

TEST_F(PrefetchPipelineTest, DiscardNeverWaitsAndCancelsOutstandingReads) {
  auto core = dataset({10});
  auto pool = start_pool(1);
  std::weak_ptr<const std::vector<std::shared_ptr<const OpenedCache>>> caches = core->caches;

  // A read in progress when its pipeline goes: it finishes, its result is dropped.
  auto script = std::make_shared<ReadScript>();
  script->held = {0};
  auto pipeline = start(sources(*core, pool, 1, ReadScript::reader(script)), sequential_plan(10, 10));
  ASSERT_TRUE(script->wait_for(10s, [&] { return script->waiting == 1; }));
  pipeline.reset();  // would hang here if it waited for the held read

  // A read still queued when its pipeline goes is skipped.
  std::promise<void> unblock;
  std::shared_future<void> gate = unblock.get_future().share();
  ASSERT_TRUE(pool->submit(Job([gate] { gate.wait(); })).ok());
  auto queued_script = std::make_shared<ReadScript>();
  auto queued = start(sources(*core, pool, 1, ReadScript::reader(queued_script)), sequential_plan(10, 10));
  queued.reset();

  core.reset();
  EXPECT_FALSE(caches.expired());  // the outstanding jobs still hold what they read
  script->release(0);
  unblock.set_value();
  drain_single_worker(*pool);
  EXPECT_TRUE(caches.expired());
  EXPECT_EQ(script->started, (std::vector<std::uint64_t>{0}));
  EXPECT_TRUE(queued_script->started.empty());
}

TEST_F(PrefetchPipelineTest, OneWorkerServesManyIteratorsInTurn) {
  auto core = dataset({7, 0, 5});
  auto pool = start_pool(1);
  std::vector<std::unique_ptr<PrefetchPipeline>> pipelines;
  std::vector<EpochPlan> plans;
  for (std::uint64_t k = 0; k < 6; ++k) {
    EpochPlan plan = k % 2 ? EpochPlan::sequential(k, 30, 12, nullptr)
                           : EpochPlan::shuffled(DrawSampler::uniform(k, 0, 30, 12), nullptr);
    plans.push_back(plan);
    pipelines.push_back(start(sources(*core, pool, 4), std::move(plan)));
  }
  for (std::uint64_t j = 0; j < 30; ++j) {
    for (std::size_t k = 0; k < pipelines.size(); ++k) {
      auto item = pipelines[k]->next();
      ASSERT_TRUE(item.ok() && item->has_value()) << k << " " << j;
      EXPECT_EQ(text_of(**item), expected_text(*core, plans[k].physical_index(j).value())) << k << " " << j;
    }
  }
  for (auto& pipeline : pipelines) EXPECT_FALSE(pipeline->next()->has_value());
}

TEST_F(PrefetchPipelineTest, ShuffledOrderDoesNotDependOnWorkersOrPrefetch) {
  auto core = dataset({3, 0, 5});
  const EpochPlan plan = EpochPlan::shuffled(DrawSampler::uniform(11, 4, 60, 8), nullptr);
  struct Case {
    std::uint64_t workers, prefetch;
  };
  for (const Case& c : std::vector<Case>{{1, 1}, {2, 2}, {4, 3}, {4, 64}}) {
    auto pipeline = start(sources(*core, start_pool(c.workers), c.prefetch), plan);
    for (std::uint64_t j = 0; j < 60; ++j) {
      auto item = pipeline->next();
      ASSERT_TRUE(item.ok() && item->has_value());
      auto at = locate_sample(*core->cache_offsets, *core->caches, plan.physical_index(j).value());
      EXPECT_EQ((*item)->cache_id, at->cache_id);
      EXPECT_EQ((*item)->sample_id, at->sample_id);
      EXPECT_EQ(text_of(**item), expected_text(*core, plan.physical_index(j).value()));
      // Spent samples ride back to the workers in later reads; what those
      // reads deliver must be their own data.
      pipeline->recycle(std::move(**item));
    }
    EXPECT_FALSE(pipeline->next()->has_value());
  }
}

// Batched reads: every position comes out once, in plan order, with its own
// identity and data, across empty caches, cache boundaries and the epoch's
// short last batch, however many workers and however large the batches.
TEST_F(PrefetchPipelineTest, BatchesDeliverEveryPositionInPlanOrder) {
  auto core = dataset({7, 0, 5, 9});
  struct Case {
    std::uint64_t workers, prefetch, batch;
    bool shuffled;
  };
  const std::vector<Case> cases = {{1, 1, 3, false}, {2, 8, 4, false}, {4, 64, 64, false}, {2, 2, 0, false},
                                   {2, 8, 5, true},  {4, 3, 0, true},  {1, 64, 64, true}};
  for (const Case& c : cases) {
    const EpochPlan plan = c.shuffled ? EpochPlan::shuffled(DrawSampler::uniform(5, 1, 50, 21), nullptr)
                                      : EpochPlan::sequential(3, 50, 21, nullptr);
    auto pipeline = start(sources(*core, start_pool(c.workers), c.prefetch, {}, c.batch), plan);
    ASSERT_TRUE(pipeline);
    const std::uint64_t limit = std::min(c.prefetch, c.workers);
    // Chosen for these tiny records: as many as allowed, while every
    // worker still gets a share of the epoch.
    EXPECT_EQ(pipeline->batch_size(), c.batch ? c.batch : std::min<std::uint64_t>(64, (50 + limit - 1) / limit));
    for (std::uint64_t j = 0; j < 50; ++j) {
      auto item = pipeline->next();
      ASSERT_TRUE(item.ok()) << item.error().text();
      ASSERT_TRUE(item->has_value()) << j;
      const std::uint64_t physical = plan.physical_index(j).value();
      auto at = locate_sample(*core->cache_offsets, *core->caches, physical);
      EXPECT_EQ((*item)->cache_id, at->cache_id) << j;
      EXPECT_EQ((*item)->sample_id, at->sample_id) << j;
      EXPECT_EQ(text_of(**item), expected_text(*core, physical)) << j;
      EXPECT_LE(pipeline->in_flight(), limit);
      EXPECT_LE(pipeline->submitted() - pipeline->delivered(), pipeline->window());
      pipeline->recycle(std::move(**item));
    }
    EXPECT_FALSE(pipeline->next()->has_value());
  }
}

// A failure inside a batch comes after the batch's samples before it; a
// failure in a later batch overtakes the positions still being read.
TEST_F(PrefetchPipelineTest, FailureInsideABatchFollowsTheSamplesBeforeIt) {
  auto core = dataset({40});
  {
    // One worker, so the batch holding the failure never arrives first.
    auto script = std::make_shared<ReadScript>();
    script->fail_id = 13;
    auto pipeline = start(sources(*core, start_pool(1), 8, ReadScript::reader(script), 8), sequential_plan(40, 40));
    for (std::uint64_t j = 0; j < 13; ++j) {
      auto item = pipeline->next();
      ASSERT_TRUE(item.ok() && item->has_value()) << j;
      EXPECT_EQ(text_of(**item), expected_text(*core, j));
    }
    auto failed = pipeline->next();
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().payload(), "scripted failure");
    EXPECT_FALSE(pipeline->next()->has_value());
  }
  {
    auto script = std::make_shared<ReadScript>();
    script->fail_id = 9;  // in the second batch, while the first is held
    script->held = {0};
    auto pipeline = start(sources(*core, start_pool(2), 8, ReadScript::reader(script), 8), sequential_plan(40, 40));
    auto failed = pipeline->next();
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().payload(), "scripted failure");
    EXPECT_FALSE(pipeline->next()->has_value());
    script->release(0);
  }
}

// Without a stand-in reader, neighbouring records are read together; a shard
// cut short after opening still yields every sample before the cut, then the
// read failure of the first sample it cut.
TEST_F(PrefetchPipelineTest, BatchedRunReadsStopAtTheFirstBrokenRecord) {
  auto core = dataset({30});
  const OpenedCache& cache = *(*core->caches)[0];
  ASSERT_EQ(cache.manifest.shards.size(), 1u);
  fs::resize_file(cache.shard_files[0].path, cache.index[17].offset + 3);
  // One worker: a later batch's failure would otherwise overtake the samples.
  auto pipeline = start(sources(*core, start_pool(1), 4, {}, 0), sequential_plan(30, 30));
  for (std::uint64_t j = 0; j < 17; ++j) {
    auto item = pipeline->next();
    ASSERT_TRUE(item.ok() && item->has_value()) << j << " " << (item.ok() ? "" : item.error().text());
    EXPECT_EQ(text_of(**item), expected_text(*core, j));
  }
  auto failed = pipeline->next();
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), ErrorKind::Io);
  EXPECT_EQ(failed.error().payload(), "failed to fill whole buffer");
  EXPECT_FALSE(pipeline->next()->has_value());
}

}  // namespace
}  // namespace brivane
