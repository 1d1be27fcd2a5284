// Reading-side throughput: a validating open of about 1 GiB of shards (hash
// rate), random reads of ~100-byte records, and random reads of 1 MiB records.
//
//   bench_cache_read [work_dir [large|small]]   (default /tmp, both parts;
//                                                needs 1.5 GiB free)
//
// Besides read_sample itself, two alternative record strategies are timed so
// the chosen one can be checked against them:
//   copy   - read the record into a reused per-thread buffer, copy the payload out
//   zeroed - like read_sample, but into a zero-filled std::vector
// and the positioned read alone ("pread only") as the floor.
#include <stdlib.h>
#include <sys/statvfs.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "cache/cache_writer.h"
#include "cache/embedded_metadata.h"
#include "cache/open_cache.h"
#include "cache/read_sample.h"
#include "cache/sha256.h"
#include "cache/shard_record.h"

namespace {

std::atomic<std::uint64_t> g_allocations{0};

}  // namespace

// GCC takes the malloc/free pairing below for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// Counts every allocation made through operator new (array forms included:
// the standard routes them here).
void* operator new(std::size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace brivane;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of the calling thread: on a busy machine the wall clock measures
// the neighbours too, so both are reported.
double thread_cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

[[noreturn]] void die(const std::string& what, const ModuleError& error) {
  std::fprintf(stderr, "%s: %s\n", what.c_str(), error.text().c_str());
  std::exit(1);
}

template <class T>
T must(Result<T> result, const std::string& what) {
  if (!result.ok()) die(what, result.error());
  return std::move(result).value();
}

void write_cache(const fs::path& dir, std::uint64_t count, std::size_t data_size, std::uint64_t max_shard_bytes) {
  auto writer = must(CacheWriter::create(dir, "bench", max_shard_bytes, ShardCompression{}), "create");
  std::vector<std::uint8_t> data(data_size);
  std::mt19937_64 gen(1);
  for (auto& b : data) b = static_cast<std::uint8_t>(gen());
  for (std::uint64_t i = 0; i < count; ++i) {
    std::memcpy(data.data(), &i, std::min<std::size_t>(8, data.size()));
    SampleMetadata metadata{{"id", MetadataValue{static_cast<std::int64_t>(i)}},
                            {"score", MetadataValue{static_cast<double>(i % 1000) * 0.5}},
                            {"tag", MetadataValue{std::string("t").append(std::to_string(i % 97))}}};
    must(writer.append(data.data(), data.size(), metadata), "append");
  }
  must(std::move(writer).finish(), "finish");
}

// The copy strategy: one reused record buffer, payload copied into the result.
struct CopiedSample {
  std::vector<std::uint8_t> data;
  MetadataRow metadata;
};

Result<CopiedSample> read_by_copy(const OpenedCache& cache, std::uint64_t id, ShardReaderCache& readers) {
  thread_local std::vector<std::uint8_t> scratch;
  const IndexRow& row = cache.index[id];
  if (scratch.size() < row.length) scratch.resize(row.length);
  BRV_TRY(readers.read_exact(cache.shard_files[row.shard_id], row.offset, scratch.data(), row.length));
  BRV_ASSIGN_OR_RETURN(RecordParts parts, split_record(scratch.data(), row.length));
  CopiedSample sample;
  BRV_ASSIGN_OR_RETURN(sample.metadata, decode_embedded_metadata(parts.metadata, cache.manifest.metadata_schema));
  const std::uint8_t* payload = scratch.data() + parts.payload_offset;
  sample.data.assign(payload, payload + parts.payload_size);
  return sample;
}

// The floor: the positioned read alone, into one reused buffer, nothing decoded.
Result<std::uint64_t> read_only(const OpenedCache& cache, std::uint64_t id, ShardReaderCache& readers) {
  thread_local std::vector<std::uint8_t> scratch;
  const IndexRow& row = cache.index[id];
  if (scratch.size() < row.length) scratch.resize(row.length);
  BRV_TRY(readers.read_exact(cache.shard_files[row.shard_id], row.offset, scratch.data(), row.length));
  return row.length;
}

// read_sample's strategy, but into a zero-filled std::vector.
struct ZeroedSample {
  std::vector<std::uint8_t> record;
  std::size_t data_offset = 0;
  MetadataRow metadata;
};

Result<ZeroedSample> read_zeroed(const OpenedCache& cache, std::uint64_t id, ShardReaderCache& readers) {
  const IndexRow& row = cache.index[id];
  ZeroedSample sample;
  sample.record.resize(row.length);
  BRV_TRY(readers.read_exact(cache.shard_files[row.shard_id], row.offset, sample.record.data(), row.length));
  BRV_ASSIGN_OR_RETURN(RecordParts parts, split_record(sample.record.data(), row.length));
  BRV_ASSIGN_OR_RETURN(sample.metadata, decode_embedded_metadata(parts.metadata, cache.manifest.metadata_schema));
  sample.data_offset = parts.payload_offset;
  return sample;
}

struct ReadFigures {
  double seconds = 0;
  double cpu_seconds = 0;
  std::uint64_t data_bytes = 0;
  double allocations_per_read = 0;
};

template <class Read>
ReadFigures time_reads(const OpenedCache& cache, const std::vector<std::uint64_t>& order, Read read) {
  ShardReaderCache readers;
  ReadFigures figures;
  // Warm the page cache and the reader cache.
  for (std::size_t i = 0; i < std::min<std::size_t>(order.size(), 64); ++i) (void)read(cache, order[i], readers);
  const std::uint64_t allocations_before = g_allocations.load();
  const double cpu_start = thread_cpu_seconds();
  const auto start = Clock::now();
  for (std::uint64_t id : order) {
    auto sample = read(cache, id, readers);
    if (!sample.ok()) die("read", sample.error());
    figures.data_bytes += cache.index[id].length;
  }
  figures.seconds = seconds_since(start);
  figures.cpu_seconds = thread_cpu_seconds() - cpu_start;
  figures.allocations_per_read =
      static_cast<double>(g_allocations.load() - allocations_before) / static_cast<double>(order.size());
  return figures;
}

std::vector<std::uint64_t> random_order(std::uint64_t count, std::uint64_t reads) {
  std::mt19937_64 gen(42);
  std::vector<std::uint64_t> order(reads);
  for (auto& id : order) id = gen() % count;
  return order;
}

void report_reads(const char* label, const ReadFigures& f, std::size_t reads) {
  const double n = static_cast<double>(reads);
  const double gb = static_cast<double>(f.data_bytes) / 1e9;
  std::printf("  %-12s wall %9.0f reads/s %6.2f GB/s | cpu %9.0f reads/s %6.2f GB/s | %.2f allocations/read\n",
              label, n / f.seconds, gb / f.seconds, n / f.cpu_seconds, gb / f.cpu_seconds, f.allocations_per_read);
}

void bench_reads(const OpenedCache& cache, const std::vector<std::uint64_t>& order) {
  auto direct = [](const OpenedCache& c, std::uint64_t id, ShardReaderCache& r) { return read_sample(c, id, r); };
  for (int round = 0; round < 2; ++round) {
    report_reads("read_sample", time_reads(cache, order, direct), order.size());
    report_reads("copy", time_reads(cache, order, read_by_copy), order.size());
    report_reads("zeroed", time_reads(cache, order, read_zeroed), order.size());
    report_reads("pread only", time_reads(cache, order, read_only), order.size());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path base = argc > 1 ? fs::path(argv[1]) : fs::path("/tmp");
  struct statvfs vfs;
  if (statvfs(base.c_str(), &vfs) != 0 ||
      static_cast<double>(vfs.f_bavail) * static_cast<double>(vfs.f_frsize) < 1.5 * (1u << 30)) {
    std::fprintf(stderr, "need 1.5 GiB free under %s\n", base.c_str());
    return 1;
  }
  std::string pattern = (base / "brivane_bench_read_XXXXXX").native();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path root = pattern;
  const std::string only = argc > 2 ? argv[2] : "";

  if (only.empty() || only == "large") {
    std::printf("1 MiB records, 1024 of them in 64 MiB shards\n");
    const fs::path dir = root / "large";
    write_cache(dir, 1024, 1u << 20, 64u << 20);

    std::vector<std::uint8_t> block(64u << 20, 0x5a);
    double best_hash = 1e9;
    for (int i = 0; i < 3; ++i) {
      Sha256 hash;
      const double start = thread_cpu_seconds();
      hash.update(block.data(), block.size());
      (void)hash.hex_digest();
      best_hash = std::min(best_hash, thread_cpu_seconds() - start);
    }
    std::printf("  in-memory SHA-256       cpu %6.2f GB/s\n", static_cast<double>(block.size()) / best_hash / 1e9);

    double best_open = 1e9;
    double best_open_cpu = 1e9;
    std::uint64_t hashed = 0;
    for (int i = 0; i < 3; ++i) {
      const double cpu_start = thread_cpu_seconds();
      const auto start = Clock::now();
      auto cache = must(open_cache(dir, true), "open");
      best_open = std::min(best_open, seconds_since(start));
      best_open_cpu = std::min(best_open_cpu, thread_cpu_seconds() - cpu_start);
      hashed = fs::file_size(dir / "index.bin") + fs::file_size(dir / "metadata.arrow");
      for (const ShardManifest& shard : cache->manifest.shards) hashed += shard.byte_len;
    }
    const double hashed_gb = static_cast<double>(hashed) / 1e9;
    std::printf("  validating open        wall %6.2f GB/s | cpu %6.2f GB/s  (%.2f GiB hashed)\n",
                hashed_gb / best_open, hashed_gb / best_open_cpu, static_cast<double>(hashed) / (1u << 30));

    auto cache = must(open_cache(dir, false), "open");
    bench_reads(*cache, random_order(cache->sample_count(), 4096));
    fs::remove_all(dir);
  }

  if (only.empty() || only == "small") {
    const std::uint64_t count = 1000000;
    const fs::path dir = root / "small";
    write_cache(dir, count, 48, 64u << 20);
    auto cache = must(open_cache(dir, false), "open");
    std::uint64_t record_bytes = 0;
    for (const IndexRow& row : cache->index) record_bytes += row.length;
    std::printf("small records, %llu of %.1f bytes on average\n", static_cast<unsigned long long>(count),
                static_cast<double>(record_bytes) / static_cast<double>(count));
    const auto order = random_order(count, count);
    bench_reads(*cache, order);
    auto validating = must(open_cache(dir, true), "open");
    auto direct = [](const OpenedCache& c, std::uint64_t id, ShardReaderCache& r) { return read_sample(c, id, r); };
    report_reads("validating", time_reads(*validating, order, direct), order.size());
  }

  fs::remove_all(root);
  return 0;
}
