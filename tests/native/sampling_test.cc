#include <cstring>  // rapidjson/document.h uses memcpy without including it

#include <rapidjson/document.h>

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "dataset/active_table.h"
#include "dataset/chacha8.h"
#include "dataset/draw_sampler.h"
#include "dataset/epoch_plan.h"
#include "dataset/sampling_state.h"
#include "dataset/weighted_index.h"

namespace brivane {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// ---- fixed vectors ---------------------------------------------------------

const rapidjson::Document& vectors() {
  static const rapidjson::Document doc = [] {
    std::ifstream in(std::string(BRIVANE_VECTORS_DIR) + "/sampling.json");
    std::stringstream text;
    text << in.rdbuf();
    rapidjson::Document d;
    d.Parse<rapidjson::kParseFullPrecisionFlag>(text.str().c_str());
    return d;
  }();
  return doc;
}

const rapidjson::Value& vector_list(const char* key) {
  const auto& doc = vectors();
  EXPECT_FALSE(doc.HasParseError()) << "sampling.json does not parse";
  EXPECT_TRUE(doc.IsObject() && doc.HasMember(key) && doc[key].IsArray()) << key;
  static const rapidjson::Value empty(rapidjson::kArrayType);
  return doc.IsObject() && doc.HasMember(key) ? doc[key] : empty;
}

TEST(SamplingVectors, KeystreamStartsOfEveryDraw) {
  const auto& cases = vector_list("raw");
  ASSERT_GT(cases.Size(), 0u);
  for (const auto& c : cases.GetArray()) {
    const std::uint64_t seed = c["seed"].GetUint64();
    const std::uint64_t draw = c["draw"].GetUint64();
    ChaCha8Stream stream(draw_stream_seed(seed, draw));
    EXPECT_EQ(stream.next_u64(), c["first_u64"][0].GetUint64()) << "seed " << seed << " draw " << draw;
    EXPECT_EQ(stream.next_u64(), c["first_u64"][1].GetUint64()) << "seed " << seed << " draw " << draw;
  }
}

TEST(SamplingVectors, UniformDraws) {
  const auto& cases = vector_list("uniform");
  ASSERT_GT(cases.Size(), 0u);
  for (const auto& c : cases.GetArray()) {
    const std::uint64_t seed = c["seed"].GetUint64();
    const std::uint64_t draw = c["draw"].GetUint64();
    const std::uint64_t population = c["population"].GetUint64();
    auto sampler = DrawSampler::uniform(seed, draw, 1, population);
    EXPECT_EQ(sampler.next(), std::optional(c["index"].GetUint64()))
        << "seed " << seed << " draw " << draw << " population " << population;
  }
}

TEST(SamplingVectors, WeightedDraws) {
  const auto& cases = vector_list("weighted");
  ASSERT_GT(cases.Size(), 0u);
  for (const auto& c : cases.GetArray()) {
    const std::uint64_t seed = c["seed"].GetUint64();
    const std::uint64_t draw = c["draw"].GetUint64();
    std::vector<double> weights;
    for (const auto& w : c["weights"].GetArray()) weights.push_back(w.GetDouble());
    auto index = WeightedIndex::build(weights);
    ASSERT_TRUE(index.ok()) << index.error().text();
    auto sampler = DrawSampler::weighted(seed, draw, 1, std::move(index).value());
    EXPECT_EQ(sampler.next(), std::optional(c["row"].GetUint64()))
        << "seed " << seed << " draw " << draw << " rows " << weights.size();
  }
}

// ---- keystream -------------------------------------------------------------

// Published ChaCha8 keystream for the all-zero 256-bit key and nonce; two
// blocks, so the block counter is exercised too.
TEST(ChaCha8Stream, MatchesPublishedZeroKeyKeystreamAcrossBlocks) {
  const char* hex =
      "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"
      "984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42"
      "d2aefa0deaa5c151bf0adb6c01f2a5adc0fd581259f9a2aadcf20f8fd566a26b"
      "5032ec38bbc5da98ee0c6f568b872a65a08abf251deb21bb4b56e5d8821e68aa";
  ChaCha8Stream stream(std::array<std::uint32_t, 8>{});
  for (int i = 0; i < 16; ++i) {
    std::uint64_t expected = 0;
    for (int b = 7; b >= 0; --b) expected = (expected << 8) | std::stoul(std::string(hex + 16 * i + 2 * b, 2), nullptr, 16);
    EXPECT_EQ(stream.next_u64(), expected) << "value " << i;
  }
}

// ---- weighted index --------------------------------------------------------

TEST(WeightedIndex, SearchCountsCumulativeSumsAtOrBelowX) {
  auto index = WeightedIndex::build(std::vector<double>{1.0, 3.0});
  ASSERT_TRUE(index.ok());
  EXPECT_EQ(index->total(), 4.0);
  EXPECT_EQ(index->search(0.0), 0u);
  EXPECT_EQ(index->search(std::nextafter(1.0, 0.0)), 0u);
  EXPECT_EQ(index->search(1.0), 1u);
  EXPECT_EQ(index->search(3.99), 1u);

  // A weight too small to move the running sum gives an entry equal to the
  // one before it; an x on that sum skips the row entirely.
  auto absorbed = WeightedIndex::build(std::vector<double>{1.0, 1e-300, 1.0});
  ASSERT_TRUE(absorbed.ok());
  EXPECT_EQ(absorbed->search(1.0), 2u);

  auto single = WeightedIndex::build(std::vector<double>{0.25});
  ASSERT_TRUE(single.ok());
  EXPECT_EQ(single->size(), 1u);
  for (double x : {0.0, 0.2, 1e300}) EXPECT_EQ(single->search(x), 0u);
}

TEST(WeightedIndex, ScaleIsTheWidestThatKeepsEveryDrawBelowTotal) {
  for (const std::vector<double>& weights : {std::vector<double>{1.0, 3.0}, std::vector<double>{0.1, 0.2, 0.3},
                                             std::vector<double>{1e-300, 1.0, 1e300}, std::vector<double>{7.0}}) {
    auto index = WeightedIndex::build(weights);
    ASSERT_TRUE(index.ok());
    const double largest_unit = 1.0 - 0x1p-52;
    EXPECT_LT(index->scale() * largest_unit, index->total());
    EXPECT_LE(index->scale(), index->total());
    if (index->scale() < index->total()) {
      const double wider = std::bit_cast<double>(std::bit_cast<std::uint64_t>(index->scale()) + 1);
      EXPECT_GE(wider * largest_unit, index->total());
    }
    // The largest draw lands on the last row, never past it.
    EXPECT_EQ(index->sample(kMax), weights.size() - 1);
    EXPECT_EQ(index->sample(0), 0u);
  }
}

// Long lists are searched through a bucket guide; it must pick exactly the
// row a plain search over all sums picks, for every shape of weights.
TEST(WeightedIndex, GuidedSampleAgreesWithPlainSearch) {
  struct Case {
    const char* name;
    std::vector<double> weights;
  };
  std::vector<Case> cases(4);
  cases[0] = {"equal", std::vector<double>(5000, 2.0)};
  cases[1] = {"one dominant row", std::vector<double>(3000, 1e-12)};
  cases[1].weights[1700] = 1e6;
  cases[2] = {"mostly absorbed", std::vector<double>(2000, 1e-300)};
  cases[2].weights[0] = 1.0;
  cases[2].weights[1999] = 1.0;
  cases[3] = {"ramp", {}};
  for (int i = 0; i < 100'000; ++i) cases[3].weights.push_back(0.5 + (i % 97) * 1.25);

  for (const auto& c : cases) {
    auto index = WeightedIndex::build(c.weights);
    ASSERT_TRUE(index.ok()) << c.name;
    std::vector<std::uint64_t> draws{0, kMax, std::uint64_t{1} << 63, (std::uint64_t{1} << 63) - 1};
    ChaCha8Stream stream(99);
    for (int i = 0; i < 20'000; ++i) draws.push_back(stream.next_u64());
    for (std::uint64_t v : draws) {
      ASSERT_EQ(index->sample(v), index->search(index->point(v >> 12))) << c.name << " v " << v;
    }
  }
}

TEST(WeightedIndex, RefusesUnusableWeights) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const double big = std::numeric_limits<double>::max();
  struct Case {
    std::vector<double> weights;
    const char* message;
  } cases[] = {
      {{}, "invalid weights: No weights provided in distribution"},
      {{0.0}, "weight 0 must be positive and finite"},
      {{-0.0}, "weight 0 must be positive and finite"},
      {{1.0, -2.0}, "weight 1 must be positive and finite"},
      {{1.0, 1.0, nan}, "weight 2 must be positive and finite"},
      {{1.0, inf, 0.0}, "weight 1 must be positive and finite"},
      {{big, big}, "invalid weights: total weight is not finite"},
  };
  for (const auto& c : cases) {
    auto index = WeightedIndex::build(c.weights);
    ASSERT_FALSE(index.ok()) << c.message;
    EXPECT_EQ(index.error().kind(), ErrorKind::InvalidArgument);
    EXPECT_EQ(index.error().text(), c.message);
  }
}

// ---- plans from the sampling state -----------------------------------------

std::vector<std::uint64_t> drain(EpochPlan& plan) {
  std::vector<std::uint64_t> out;
  for (std::uint64_t j = 0; j < plan.len(); ++j) {
    auto p = plan.next_physical();
    EXPECT_TRUE(p.ok());
    if (!p.ok()) break;
    out.push_back(*p);
  }
  return out;
}

std::vector<std::uint64_t> next_epoch(SamplingState& state, bool shuffle, std::uint64_t total, std::uint64_t seed = 7) {
  auto plan = plan_epoch(state, shuffle, seed, total);
  EXPECT_TRUE(plan.ok()) << plan.error().text();
  return plan.ok() ? drain(*plan) : std::vector<std::uint64_t>{};
}

using Positions = std::vector<std::uint64_t>;

ActiveTableOverride table_of(std::vector<std::uint64_t> rows, std::vector<double> weights) {
  return {std::make_shared<const std::vector<std::uint64_t>>(std::move(rows)),
          std::make_shared<const std::vector<double>>(std::move(weights)), std::make_shared<const std::string>("ipc")};
}

TEST(PlanEpoch, SequentialEpochsContinueCyclically) {
  struct Case {
    std::uint64_t population, epoch_len;
    std::vector<Positions> epochs;
    std::uint64_t cursor_after;
  } cases[] = {
      {5, 3, {{0, 1, 2}, {3, 4, 0}, {1, 2, 3}}, 4},
      {2, 5, {{0, 1, 0, 1, 0}, {1, 0, 1, 0, 1}}, 0},
      {1, 4, {{0, 0, 0, 0}}, 0},
      {3, 3, {{0, 1, 2}, {0, 1, 2}}, 0},
  };
  for (const auto& c : cases) {
    auto state = initial_sampling_state(c.population);
    ASSERT_TRUE(set_epoch_len(state, c.epoch_len).ok());
    for (const auto& expected : c.epochs) EXPECT_EQ(next_epoch(state, false, c.population), expected);
    EXPECT_EQ(state.sequential_cursor, c.cursor_after) << "P " << c.population << " E " << c.epoch_len;
    EXPECT_EQ(state.draw_offset, 0u);
  }
}

TEST(PlanEpoch, SequentialCursorNearTheTopOfU64DoesNotOverflow) {
  const std::uint64_t population = kMax - 1;  // E mod P = 1
  SamplingState state;
  state.epoch_len = kMax;
  state.sequential_cursor = population - 1;
  auto plan = plan_epoch(state, false, 0, population);
  ASSERT_TRUE(plan.ok());
  EXPECT_EQ(state.sequential_cursor, 0u);
  EXPECT_EQ(plan->physical_index(0).value(), population - 1);
  EXPECT_EQ(plan->physical_index(1).value(), 0u);
  EXPECT_EQ(plan->physical_index(population - 1).value(), population - 2);
  EXPECT_EQ(plan->physical_index(kMax - 1).value(), population - 1);  // last position, j mod P = 0
}

TEST(PlanEpoch, SequentialOverOverrideMapsRowsToPhysicalSamples) {
  auto state = initial_sampling_state(10);
  ASSERT_TRUE(set_epoch_len(state, 4).ok());
  EXPECT_EQ(next_epoch(state, false, 10), (Positions{0, 1, 2, 3}));
  install_active_table(state, table_of({4, 4, 1}, {1.0, 1.0, 1.0}));
  EXPECT_EQ(state.epoch_len, 4u);
  EXPECT_EQ(state.sequential_cursor, 0u);
  EXPECT_EQ(next_epoch(state, false, 10), (Positions{4, 4, 1, 4}));
  EXPECT_EQ(next_epoch(state, false, 10), (Positions{4, 1, 4, 4}));
}

TEST(PlanEpoch, ShuffledEpochsContinueTheDrawIndices) {
  auto state = initial_sampling_state(1000);
  ASSERT_TRUE(set_epoch_len(state, 3).ok());
  const std::uint64_t seed = 42;

  auto first = plan_epoch(state, true, seed, 1000);
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(first->sampler()->next_draw(), 0u);
  EXPECT_EQ(first->sampler()->remaining(), 3u);
  // A plan dropped unread still moves the next one by a full epoch.
  ASSERT_TRUE(plan_epoch(state, true, seed, 1000).ok());
  auto third = plan_epoch(state, true, seed, 1000);
  ASSERT_TRUE(third.ok());
  EXPECT_EQ(third->sampler()->next_draw(), 6u);
  EXPECT_EQ(state.draw_offset, 9u);
  EXPECT_EQ(state.sequential_cursor, 0u);

  auto reference = DrawSampler::uniform(seed, 0, 9, 1000);
  Positions expected;
  for (std::uint64_t j = 0; j < 9; ++j) expected.push_back(reference.position_at(j));
  EXPECT_EQ(drain(*first), Positions(expected.begin(), expected.begin() + 3));
  EXPECT_EQ(drain(*third), Positions(expected.begin() + 6, expected.end()));
  EXPECT_EQ(third->sampler()->remaining(), 0u);

  // After a new active table the stream restarts at draw 0.
  install_active_table(state, table_of({5, 6}, {1.0, 1.0}));
  auto weighted = plan_epoch(state, true, seed, 1000);
  ASSERT_TRUE(weighted.ok());
  EXPECT_TRUE(weighted->sampler()->is_weighted());
  EXPECT_EQ(weighted->sampler()->next_draw(), 0u);
  EXPECT_EQ(state.draw_offset, 3u);
}

TEST(PlanEpoch, ShuffledOffsetOverflowLeavesCountersAlone) {
  auto state = initial_sampling_state(5);
  ASSERT_TRUE(set_epoch_len(state, kMax).ok());
  auto first = plan_epoch(state, true, 1, 5);
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(first->len(), kMax);
  EXPECT_EQ(state.draw_offset, kMax);

  auto second = plan_epoch(state, true, 1, 5);
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(second.error().text(), "shuffled draw offset overflowed u64");
  EXPECT_EQ(state.draw_offset, kMax);
  EXPECT_EQ(state.epoch_len, kMax);
  EXPECT_EQ(state.sequential_cursor, 0u);
}

TEST(PlanEpoch, UnusablePopulationsAreRefused) {
  struct Case {
    const char* name;
    bool shuffle;
    std::uint64_t total;
    std::optional<ActiveTableOverride> table;
    const char* message;
    std::uint64_t draw_offset_after;  // the offset moves before population checks
  } cases[] = {
      {"no active rows", false, 5, table_of({}, {}), "cannot iterate an empty active population", 0},
      {"no physical samples, shuffled", true, 0, std::nullopt, "cannot sample from an empty population", 2},
      {"zero weight", true, 5, table_of({0, 1, 2}, {1.0, 0.0, 1.0}), "weight 1 must be positive and finite", 2},
      {"NaN weight", true, 5, table_of({0, 1}, {std::nan(""), 1.0}), "weight 0 must be positive and finite", 2},
      {"no weights", true, 5, table_of({}, {}), "invalid weights: No weights provided in distribution", 2},
      {"overflowing total", true, 5, table_of({0, 1}, {1e308, 1e308}), "invalid weights: total weight is not finite",
       2},
  };
  for (const auto& c : cases) {
    SamplingState state;
    state.epoch_len = 2;
    state.sequential_cursor = 0;
    state.override_table = c.table;
    auto plan = plan_epoch(state, c.shuffle, 3, c.total);
    ASSERT_FALSE(plan.ok()) << c.name;
    EXPECT_EQ(plan.error().kind(), ErrorKind::InvalidArgument) << c.name;
    EXPECT_EQ(plan.error().text(), c.message) << c.name;
    EXPECT_EQ(state.draw_offset, c.draw_offset_after) << c.name;
    EXPECT_EQ(state.sequential_cursor, 0u) << c.name;
    EXPECT_EQ(state.epoch_len, 2u) << c.name;
  }
}

TEST(PlanEpoch, RowsAndWeightsOfDifferentLengthAreABrokenTable) {
  SamplingState state;
  state.epoch_len = 1;
  state.override_table = table_of({0, 1}, {1.0});
  auto plan = plan_epoch(state, true, 0, 5);
  ASSERT_FALSE(plan.ok());
  EXPECT_EQ(plan.error().kind(), ErrorKind::InternalFault);
}

TEST(PlanEpoch, SingleActiveRowIsAlwaysDrawn) {
  SamplingState state;
  state.epoch_len = 50;
  state.override_table = table_of({9}, {0.5});
  EXPECT_EQ(next_epoch(state, true, 10), Positions(50, 9));
}

TEST(PlanEpoch, WeightedPlanDrawsThroughTheRows) {
  const std::vector<double> weights{0.5, 0.25, 0.25};
  const Positions rows{30, 10, 20};
  SamplingState state;
  state.epoch_len = 64;
  state.draw_offset = 5;
  state.override_table = table_of(rows, weights);
  auto plan = plan_epoch(state, true, 11, 100);
  ASSERT_TRUE(plan.ok());

  auto reference = DrawSampler::weighted(11, 5, 64, WeightedIndex::build(weights).value());
  for (std::uint64_t j = 0; j < 64; ++j) {
    auto physical = plan->physical_index(j);
    ASSERT_TRUE(physical.ok());
    EXPECT_EQ(*physical, rows[reference.position_at(j)]) << j;
    EXPECT_EQ(plan->next_physical().value(), *physical) << j;
  }
}

TEST(SetEpochLen, ZeroIsRefusedAndLeavesTheLength) {
  auto state = initial_sampling_state(5);
  auto refused = set_epoch_len(state, 0);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), ErrorKind::InvalidArgument);
  EXPECT_EQ(refused.error().text(), "epoch_len must be at least 1");
  EXPECT_EQ(state.epoch_len, 5u);

  auto before = plan_epoch(state, false, 0, 5);
  ASSERT_TRUE(set_epoch_len(state, 1).ok());
  EXPECT_EQ(state.epoch_len, 1u);
  EXPECT_EQ(before->len(), 5u);  // a made plan keeps its length
}

// ---- plan bounds -----------------------------------------------------------

TEST(EpochPlan, PositionsOutsideTheEpochOrRowsFailTheWorker) {
  auto rows = std::make_shared<const std::vector<std::uint64_t>>(Positions{7, 8});
  struct Case {
    const char* name;
    EpochPlan plan;
    std::uint64_t bad_position;
  } cases[] = {
      {"past the epoch", EpochPlan::sequential(0, 2, 2, rows), 2},
      {"rows shorter than the population", EpochPlan::sequential(0, 3, 3, rows), 2},
      {"start outside the population", EpochPlan::sequential(7, 1, 3, nullptr), 0},
      {"shuffled, past the epoch", EpochPlan::shuffled(DrawSampler::uniform(0, 0, 1, 2), rows), 1},
  };
  for (auto& c : cases) {
    auto r = c.plan.physical_index(c.bad_position);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().kind(), ErrorKind::WorkerFailed) << c.name;
  }

  auto plan = EpochPlan::shuffled(DrawSampler::uniform(0, 0, 1, 2), rows);
  ASSERT_TRUE(plan.next_physical().ok());
  EXPECT_FALSE(plan.next_physical().ok());
  auto walk = EpochPlan::sequential(1, 1, 2, rows);
  EXPECT_EQ(walk.next_physical().value(), 8u);
  EXPECT_FALSE(walk.next_physical().ok());
  EXPECT_EQ(walk.next_position(), 1u);
}

}  // namespace
}  // namespace brivane
