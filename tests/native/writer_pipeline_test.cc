#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <latch>
#include <string>
#include <vector>

#include "cache/manifest.h"
#include "runtime/worker_pool.h"
#include "writer/relay_pipeline.h"
#include "writer/write_pipeline.h"

namespace brivane {
namespace {

namespace fs = std::filesystem;

std::shared_ptr<WorkerPool> pool_of(std::uint64_t workers) {
  auto pool = WorkerPool::start(workers);
  EXPECT_TRUE(pool.ok());
  return pool.value();
}

TEST(WriterReorderBuffer, ReleasesInOrderAndRefusesRepeats) {
  ReorderBuffer<int> buffer(2);
  // Far ahead of the capacity: the ring grows instead of overwriting.
  for (std::uint64_t seq : {5, 3, 9, 1, 4}) ASSERT_TRUE(buffer.put(seq, static_cast<int>(seq) * 10));
  EXPECT_FALSE(buffer.put(3, 0));
  EXPECT_FALSE(buffer.take_next().has_value());  // 0 is still out
  ASSERT_TRUE(buffer.put(0, 0));
  std::vector<int> out;
  while (auto item = buffer.take_next()) {
    out.push_back(*item);
    ASSERT_TRUE(buffer.advance());
  }
  EXPECT_EQ(out, (std::vector<int>{0, 10}));
  EXPECT_FALSE(buffer.put(1, 0));  // already taken out
  ASSERT_TRUE(buffer.put(2, 20));
  while (auto item = buffer.take_next()) {
    out.push_back(*item);
    ASSERT_TRUE(buffer.advance());
  }
  EXPECT_EQ(out, (std::vector<int>{0, 10, 20, 30, 40, 50}));
  EXPECT_FALSE(buffer.empty());  // 9 waits for 6, 7 and 8
}

struct RelayCase {
  std::uint64_t workers;
  std::uint64_t limit;
};

class WriterRelayOrder : public ::testing::TestWithParam<RelayCase> {};

TEST_P(WriterRelayOrder, ProcessesInHandOffOrder) {
  const auto [workers, limit] = GetParam();
  RelayPipeline<std::unique_ptr<std::uint64_t>> relay(pool_of(workers), limit, nullptr, "overflow");
  std::vector<std::uint64_t> seen;
  std::uint64_t max_in_flight = 0;
  auto process = [&](std::unique_ptr<std::uint64_t>&& item) {
    seen.push_back(*item);
    return ok_status();
  };
  constexpr std::uint64_t kItems = 20000;
  for (std::uint64_t i = 0; i < kItems; ++i) {
    ASSERT_TRUE(relay.hand_off(i, std::make_unique<std::uint64_t>(i), process).ok());
    max_in_flight = std::max(max_in_flight, relay.in_flight());
  }
  ASSERT_TRUE(relay.drain(process).ok());
  EXPECT_TRUE(relay.reorder_empty());
  EXPECT_EQ(max_in_flight, relay.limit());
  ASSERT_EQ(seen.size(), kItems);
  for (std::uint64_t i = 0; i < kItems; ++i) ASSERT_EQ(seen[i], i);
}

INSTANTIATE_TEST_SUITE_P(Limits, WriterRelayOrder,
                         ::testing::Values(RelayCase{4, 1}, RelayCase{1, 1}, RelayCase{8, 8}, RelayCase{2, 2}));

TEST(WriterRelay, RunsSignalHandlersWhileWaitingAndStopsOnTheirFailure) {
  auto pool = pool_of(1);
  std::latch release(1);
  // Keep the only worker busy so the relayed item cannot come back yet.
  ASSERT_TRUE(pool->submit(Job([&release] { release.wait(); })).ok());
  std::atomic<int> checks{0};
  RelayPipeline<int> relay(pool, 1, [&]() -> Status {
    if (++checks < 3) return ok_status();
    return ModuleError(ErrorKind::PythonInterrupt, "KeyboardInterrupt: ");
  }, "overflow");
  int processed = 0;
  auto process = [&](int&&) {
    ++processed;
    return ok_status();
  };
  ASSERT_TRUE(relay.hand_off(0, 7, process).ok());
  Status waited = relay.take_in_one(process);
  ASSERT_FALSE(waited.ok());
  EXPECT_EQ(waited.error().kind(), ErrorKind::PythonInterrupt);
  EXPECT_EQ(checks.load(), 3);
  release.count_down();
  ASSERT_TRUE(relay.take_in_one(process).ok());  // the item still arrives
  EXPECT_EQ(processed, 1);
}

TEST(WriterRelay, ProcessingFailureIsReturned) {
  RelayPipeline<int> relay(pool_of(2), 2, nullptr, "overflow");
  auto process = [](int&& v) -> Status {
    if (v == 1) return ModuleError::io("disk full");
    return ok_status();
  };
  ASSERT_TRUE(relay.hand_off(0, 0, process).ok());
  ASSERT_TRUE(relay.hand_off(1, 1, process).ok());
  Status third = relay.hand_off(2, 2, process);
  Status drained = third.ok() ? relay.drain(process) : third;
  ASSERT_FALSE(drained.ok());
  EXPECT_EQ(drained.error().text(), "I/O error: disk full");
}

// ---- the pipelines over real cache writers ----

SampleInput sample(std::uint8_t fill, std::size_t size, SampleMetadata metadata) {
  SampleInput input;
  input.data = SampleBytes(size);
  std::fill(input.data.data(), input.data.data() + size, fill);
  input.metadata = std::move(metadata);
  return input;
}

class WriterPipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path() / ("brv_pipe_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(base_);
    config_.max_shard_bytes = 1 << 20;
    config_.prefetch_size = 4;
    context_.pool = pool_of(4);
    context_.num_workers = 4;
    context_.config = &config_;
    context_.profiler = &profiler_;
  }
  void TearDown() override { fs::remove_all(base_); }

  std::unique_ptr<BeginSource> begin(std::uint64_t position, const std::string& name) {
    return std::make_unique<BeginSource>(BeginSource{position, name, base_ / name, base_ / "tmp" / name});
  }

  fs::path base_;
  WriterConfig config_;
  Profiler profiler_{std::string("unused.json")};
  WriteContext context_;
};

TEST_F(WriterPipeline, ListModeWritesPublishesAndKeepsPositions) {
  ListWritePipeline pipeline(context_, 3);
  ASSERT_TRUE(pipeline.hand_off(std::make_unique<ResultReady>(ResultReady{1, SourceResult::failed("x", "nope")})).ok());
  ASSERT_TRUE(pipeline.hand_off(begin(0, "a")).ok());
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(pipeline.hand_off(sample(i, 10, {{"i", std::int64_t{i}}})).ok());
  ASSERT_TRUE(pipeline.hand_off(EndSource{}).ok());
  ASSERT_TRUE(pipeline.hand_off(begin(2, "b")).ok());
  ASSERT_TRUE(pipeline.hand_off(sample(1, 1, {})).ok());
  ASSERT_TRUE(pipeline.hand_off(EndSource{}).ok());
  auto results = pipeline.finish();
  ASSERT_TRUE(results.ok()) << results.error().text();
  ASSERT_EQ(results->size(), 3u);
  EXPECT_TRUE((*results)[0].success);
  EXPECT_EQ((*results)[0].detail, (base_ / "a").string());
  EXPECT_EQ((*results)[1].detail, "nope");
  EXPECT_TRUE((*results)[2].success);
  auto manifest = read_manifest_file(base_ / "a");
  ASSERT_TRUE(manifest.ok());
  EXPECT_EQ(manifest->sample_count, 50u);
  EXPECT_TRUE(fs::is_empty(base_ / "tmp"));
  for (ProfileStage stage : {ProfileStage::metadata_validate, ProfileStage::disk_write}) {
    EXPECT_EQ(profiler_.stats("a", stage)->calls, 50u);
  }
  EXPECT_EQ(profiler_.stats("a", ProfileStage::compression)->bytes, 500u);
  EXPECT_EQ(profiler_.stats("a", ProfileStage::publish)->calls, 1u);
}

TEST_F(WriterPipeline, FirstFailureOfASourceIsReportedAndItsStagingRemoved) {
  ListWritePipeline pipeline(context_, 2);
  ASSERT_TRUE(pipeline.hand_off(begin(0, "a")).ok());
  ASSERT_TRUE(pipeline.hand_off(sample(0, 4, {{"k", std::int64_t{1}}})).ok());
  ASSERT_TRUE(pipeline.hand_off(sample(0, 4, {{"k", std::int64_t{1}}, {"more", std::int64_t{1}}})).ok());
  ASSERT_TRUE(pipeline.hand_off(sample(0, 4, {{"k", std::int64_t{1}}})).ok());  // dropped
  ASSERT_TRUE(pipeline.hand_off(FailSource{"Python error: ValueError: later"}).ok());
  ASSERT_TRUE(pipeline.hand_off(begin(1, "b")).ok());
  ASSERT_TRUE(pipeline.hand_off(sample(0, 4, {})).ok());
  ASSERT_TRUE(pipeline.hand_off(EndSource{}).ok());
  auto results = pipeline.finish();
  ASSERT_TRUE(results.ok());
  EXPECT_FALSE((*results)[0].success);
  EXPECT_EQ((*results)[0].detail, "metadata keys must be identical for every sample");
  EXPECT_TRUE((*results)[1].success);
  EXPECT_FALSE(fs::exists(base_ / "a"));
  EXPECT_FALSE(fs::exists(base_ / "tmp" / "a"));
  EXPECT_EQ(profiler_.stats("a", ProfileStage::disk_write)->calls, 1u);
  EXPECT_FALSE(profiler_.stats("a", ProfileStage::publish).has_value());
}

TEST_F(WriterPipeline, FailSourceAloneCarriesItsText) {
  ListWritePipeline pipeline(context_, 1);
  ASSERT_TRUE(pipeline.hand_off(begin(0, "a")).ok());
  ASSERT_TRUE(pipeline.hand_off(sample(0, 4, {})).ok());
  ASSERT_TRUE(pipeline.hand_off(FailSource{"Python error: ValueError: boom"}).ok());
  auto results = pipeline.finish();
  ASSERT_TRUE(results.ok());
  EXPECT_EQ((*results)[0].detail, "Python error: ValueError: boom");
  EXPECT_FALSE(fs::exists(base_ / "tmp" / "a"));
}

TEST_F(WriterPipeline, EmptySourceFailsAndLeavesNothing) {
  ListWritePipeline pipeline(context_, 1);
  ASSERT_TRUE(pipeline.hand_off(begin(0, "a")).ok());
  ASSERT_TRUE(pipeline.hand_off(EndSource{}).ok());
  auto results = pipeline.finish();
  ASSERT_TRUE(results.ok());
  EXPECT_EQ((*results)[0].detail, "cache source yielded no samples");
  EXPECT_FALSE(fs::exists(base_ / "tmp" / "a"));
}

TEST_F(WriterPipeline, EventsOutOfPlaceArePipelineFaults) {
  struct Case {
    const char* what;
    std::function<void(ListWritePipeline&)> feed;
  };
  const std::vector<Case> cases = {
      {"sample without a source", [&](ListWritePipeline& p) { (void)p.hand_off(sample(0, 1, {})); }},
      {"end without a source", [&](ListWritePipeline& p) { (void)p.hand_off(EndSource{}); }},
      {"fail without a source", [&](ListWritePipeline& p) { (void)p.hand_off(FailSource{"x"}); }},
      {"slot out of range",
       [&](ListWritePipeline& p) {
         (void)p.hand_off(std::make_unique<ResultReady>(ResultReady{5, SourceResult::failed("x", "y")}));
       }},
      {"slot filled twice",
       [&](ListWritePipeline& p) {
         (void)p.hand_off(std::make_unique<ResultReady>(ResultReady{0, SourceResult::failed("x", "y")}));
         (void)p.hand_off(std::make_unique<ResultReady>(ResultReady{0, SourceResult::failed("x", "y")}));
       }},
      {"second begin while one is open",
       [&](ListWritePipeline& p) {
         (void)p.hand_off(begin(0, "a"));
         (void)p.hand_off(begin(0, "b"));
       }},
      {"empty slot at the end", [&](ListWritePipeline&) {}},
  };
  for (const Case& c : cases) {
    ListWritePipeline pipeline(context_, 1);
    c.feed(pipeline);
    auto results = pipeline.finish();
    ASSERT_FALSE(results.ok()) << c.what;
    EXPECT_EQ(results.error().kind(), ErrorKind::WorkerFailed) << c.what;
    EXPECT_FALSE(fs::exists(base_ / "tmp" / "a")) << c.what;
  }
}

TEST_F(WriterPipeline, AbandonWritesWhatWasHandedAndDropsTheOpenSource) {
  ListWritePipeline pipeline(context_, 2);
  ASSERT_TRUE(pipeline.hand_off(begin(0, "a")).ok());
  ASSERT_TRUE(pipeline.hand_off(sample(0, 4, {})).ok());
  ASSERT_TRUE(pipeline.hand_off(EndSource{}).ok());
  ASSERT_TRUE(pipeline.hand_off(begin(1, "b")).ok());
  ASSERT_TRUE(pipeline.hand_off(sample(0, 4, {})).ok());
  pipeline.abandon();
  EXPECT_TRUE(fs::exists(base_ / "a" / "manifest.json"));
  EXPECT_FALSE(fs::exists(base_ / "b"));
  EXPECT_FALSE(fs::exists(base_ / "tmp" / "b"));
}

TEST_F(WriterPipeline, StagingMetAtCreationIsRefusedAndRemoved) {
  fs::create_directories(base_ / "tmp" / "a");
  ListWritePipeline pipeline(context_, 1);
  ASSERT_TRUE(pipeline.hand_off(begin(0, "a")).ok());
  ASSERT_TRUE(pipeline.hand_off(sample(0, 4, {})).ok());
  ASSERT_TRUE(pipeline.hand_off(EndSource{}).ok());
  auto results = pipeline.finish();
  ASSERT_TRUE(results.ok());
  EXPECT_EQ((*results)[0].detail, "cache path already exists: " + (base_ / "tmp" / "a").string());
  EXPECT_FALSE(fs::exists(base_ / "tmp" / "a"));
}

TEST_F(WriterPipeline, SingleSourceCompletesOrAbandons) {
  StagedDestination paths{base_ / "a", base_ / "tmp" / "a"};
  {
    auto write = SingleSourceWrite::create(context_, "a", paths);
    ASSERT_TRUE(write.ok());
    (*write)->start();
    for (int i = 0; i < 100; ++i) ASSERT_TRUE((*write)->hand_off(sample(i, 3, {{"i", std::int64_t{i}}})).ok());
    auto result = (*write)->complete();
    ASSERT_TRUE(result.ok()) << result.error().text();
    EXPECT_EQ(result->detail, paths.destination.string());
    EXPECT_EQ(read_manifest_file(paths.destination)->sample_count, 100u);
  }
  StagedDestination other{base_ / "b", base_ / "tmp" / "b"};
  auto write = SingleSourceWrite::create(context_, "b", other);
  ASSERT_TRUE(write.ok());
  (*write)->start();
  Status failed = ok_status();
  for (int i = 0; i < 100 && failed.ok(); ++i) {
    SampleMetadata metadata{{"i", std::int64_t{i}}};
    if (i == 2) metadata.emplace("j", true);
    failed = (*write)->hand_off(sample(0, 3, std::move(metadata)));
  }
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().text(), "metadata keys must be identical for every sample");
  ModuleError reported = (*write)->abandon(failed.error());
  EXPECT_EQ(reported.text(), failed.error().text());
  EXPECT_FALSE(fs::exists(other.staging));
  EXPECT_FALSE(fs::exists(other.destination));
}

}  // namespace
}  // namespace brivane
