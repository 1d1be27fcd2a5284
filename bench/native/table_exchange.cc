// Export and replacement of the active table for one cache of many samples
// with three metadata columns (int, float, string).
// Usage: bench_table_exchange [rows]   (default 10,000,000)
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <arrow/api.h>
#include <arrow/io/file.h>
#include <arrow/ipc/writer.h>

#include <chrono>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cache/metadata_table.h"
#include "cache/opened_cache.h"
#include "dataset/dataset_core.h"
#include "table/table_exchange.h"
#include "table/update_validation.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void report(const char* name, std::int64_t rows, double seconds) {
  std::printf("%-32s %8.3f s  %14.0f rows/s\n", name, seconds, rows / seconds);
}

bool write_metadata(const fs::path& path, std::int64_t rows) {
  arrow::Int64Builder ids;
  arrow::DoubleBuilder scores;
  arrow::StringBuilder names;
  if (!ids.Reserve(rows).ok() || !scores.Reserve(rows).ok() || !names.Reserve(rows).ok() ||
      !names.ReserveData(rows * 8).ok()) {
    return false;
  }
  char text[32];
  for (std::int64_t i = 0; i < rows; ++i) {
    ids.UnsafeAppend(i);
    scores.UnsafeAppend(static_cast<double>(i) * 0.5);
    const int n = std::snprintf(text, sizeof text, "s%07lld", static_cast<long long>(i % 10000000));
    names.UnsafeAppend(text, n);
  }
  auto schema = arrow::schema({arrow::field("id", arrow::int64(), false), arrow::field("name", arrow::utf8(), false),
                               arrow::field("score", arrow::float64(), false)});
  auto batch = arrow::RecordBatch::Make(schema, rows, {*ids.Finish(), *names.Finish(), *scores.Finish()});
  auto file = arrow::io::FileOutputStream::Open(path.string());
  if (!file.ok()) return false;
  auto writer = arrow::ipc::MakeFileWriter(*file, schema);
  return writer.ok() && (*writer)->WriteRecordBatch(*batch).ok() && (*writer)->Close().ok() && (*file)->Close().ok();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace brivane;
  const std::int64_t rows = argc > 1 ? std::atoll(argv[1]) : 10'000'000;
  char pattern[] = "/tmp/brivane_table_bench_XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const fs::path dir = pattern;
  if (!write_metadata(dir / "metadata.arrow", rows)) {
    std::fprintf(stderr, "could not write metadata.arrow\n");
    return 1;
  }

  auto cache = std::make_shared<OpenedCache>();
  cache->dir = dir;
  cache->index.resize(static_cast<std::size_t>(rows));
  DatasetCore core;
  core.schema = {{"id", MetadataKind::Int}, {"name", MetadataKind::String}, {"score", MetadataKind::Float}};
  core.caches = std::make_shared<const std::vector<std::shared_ptr<const OpenedCache>>>(
      std::vector<std::shared_ptr<const OpenedCache>>{cache});
  core.cache_offsets = std::make_shared<const std::vector<std::uint64_t>>(std::vector<std::uint64_t>{0});
  core.total = static_cast<std::uint64_t>(rows);
  core.sampling = initial_sampling_state(core.total);

  // Uninitialised memory, as a fresh bytes object would be.
  std::unique_ptr<std::uint8_t[]> bytes;
  std::size_t size = 0;
  // The first export of a process also pays for fresh pages; later ones reuse them.
  Clock::time_point start;
  for (int round = 0; round < 3; ++round) {
    start = Clock::now();
    const Status exported = export_active_table(core, [&](std::size_t n) -> Result<std::uint8_t*> {
      bytes.reset(new std::uint8_t[n]);
      size = n;
      return bytes.get();
    });
    if (!exported.ok()) {
      std::fprintf(stderr, "export: %s\n", exported.error().text().c_str());
      return 1;
    }
    report(round == 0 ? "export (default table, first)" : "export (default table)", rows, seconds_since(start));
  }
  std::printf("%-32s %8.1f MiB\n", "export size", size / 1048576.0);

  const std::span<const std::uint8_t> ipc(bytes.get(), size);
  const std::vector<std::uint64_t> counts{core.total};
  for (int round = 0; round < 3; ++round) {
    start = Clock::now();
    const std::clock_t cpu = std::clock();
    auto validated = validate_replacement_table(ipc, TablePopulation{core.schema, counts, *core.cache_offsets});
    if (!validated.ok()) {
      std::fprintf(stderr, "validate: %s\n", validated.error().text().c_str());
      return 1;
    }
    report("update validation", rows, seconds_since(start));
    std::printf("%-32s %8.3f s\n", "  (processor time)", double(std::clock() - cpu) / CLOCKS_PER_SEC);
  }
  start = Clock::now();
  const Status replaced = replace_active_table(core, ipc);
  if (!replaced.ok()) {
    std::fprintf(stderr, "replace: %s\n", replaced.error().text().c_str());
    return 1;
  }
  report("update (validate + copy + swap)", rows, seconds_since(start));

  // Where an export's time goes, step by step.
  {
    auto t = Clock::now();
    auto batches = read_metadata_batches(dir / "metadata.arrow");
    report("  read metadata.arrow", rows, seconds_since(t));
    t = Clock::now();
    auto table = build_default_table(core.schema, *core.caches, *core.cache_offsets);
    report("  build default table", rows, seconds_since(t));
    t = Clock::now();
    std::unique_ptr<std::uint8_t[]> out;
    (void)write_table_ipc(*table, [&](std::size_t n) -> Result<std::uint8_t*> {
      out.reset(new std::uint8_t[n]);
      return out.get();
    });
    report("  write ipc", rows, seconds_since(t));
  }
  fs::remove_all(dir);
  return 0;
}
