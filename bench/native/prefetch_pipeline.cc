// The read-ahead pipeline without Python: items/s of one consumer taking
// whole epochs from a 2-worker pool, sequential and shuffled, over ~100-byte
// records with three metadata fields (page cache warm after the first epoch).
//
//   bench_prefetch_pipeline [work_dir [samples [workers [prefetch]]]]
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cache/cache_writer.h"
#include "dataset/dataset_open.h"
#include "dataset/draw_sampler.h"
#include "dataset/epoch_plan.h"
#include "dataset/prefetch_pipeline.h"
#include "runtime/worker_pool.h"

namespace fs = std::filesystem;
using namespace brivane;

namespace {

bool write_small_cache(const fs::path& dir, std::uint64_t count) {
  auto writer = CacheWriter::create(dir, "small", 256 << 20, ShardCompression{});
  if (!writer.ok()) return false;
  std::string data(100, 'x');
  for (std::uint64_t i = 0; i < count; ++i) {
    data[i % 100] = static_cast<char>(i);
    SampleMetadata metadata{{"label", MetadataValue{static_cast<std::int64_t>(i)}},
                            {"score", MetadataValue{i * 0.5}},
                            {"split", MetadataValue{std::string("train")}}};
    if (!writer->append(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), metadata).ok()) return false;
  }
  return std::move(*writer).finish().ok();
}

double epoch_rate(const DatasetCore& core, EpochPlan plan, std::uint64_t prefetch) {
  const std::uint64_t n = plan.len();
  const auto started = std::chrono::steady_clock::now();
  auto pipeline = PrefetchPipeline::start(
      PipelineSources{core.pool, core.caches, core.cache_offsets, prefetch, core.num_workers, {}}, std::move(plan));
  if (!pipeline.ok()) return 0;
  std::uint64_t got = 0, bytes = 0;
  for (;;) {
    auto item = (*pipeline)->next();
    if (!item.ok() || !item->has_value()) break;
    ++got;
    bytes += (*item)->sample.data_size;
    (*pipeline)->recycle(std::move(**item));
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (got != n || bytes == 0) std::fprintf(stderr, "short epoch: %llu of %llu\n", (unsigned long long)got,
                                           (unsigned long long)n);
  return static_cast<double>(got) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path work = argc > 1 ? argv[1] : "/tmp";
  const std::uint64_t samples = argc > 2 ? std::stoull(argv[2]) : 1000000;
  const std::uint64_t workers = argc > 3 ? std::stoull(argv[3]) : 2;
  const std::uint64_t prefetch = argc > 4 ? std::stoull(argv[4]) : 64;

  std::string pattern = (work / "brivane_prefetch_bench_XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return 1;
  const fs::path root = pattern;
  const fs::path dir = root / "small";
  if (!write_small_cache(dir, samples)) {
    std::fprintf(stderr, "writing the cache failed\n");
    fs::remove_all(root);
    return 1;
  }
  auto pool = WorkerPool::start(workers);
  auto core = open_dataset(*pool, workers, {dir.string()}, DatasetSettings{7, prefetch, false, false});
  if (!core.ok()) {
    std::fprintf(stderr, "%s\n", core.error().text().c_str());
    fs::remove_all(root);
    return 1;
  }
  std::printf("%llu samples, %llu workers, prefetch_size %llu\n", (unsigned long long)samples,
              (unsigned long long)workers, (unsigned long long)prefetch);
  for (int round = 0; round < 3; ++round) {
    const double sequential = epoch_rate(**core, EpochPlan::sequential(0, samples, samples, nullptr), prefetch);
    const double shuffled = epoch_rate(
        **core, EpochPlan::shuffled(DrawSampler::uniform(7, round * samples, samples, samples), nullptr), prefetch);
    std::printf("  sequential %10.0f items/s   shuffled %10.0f items/s\n", sequential, shuffled);
  }
  fs::remove_all(root);
  return 0;
}
