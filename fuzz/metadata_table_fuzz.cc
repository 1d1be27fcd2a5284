// metadata.arrow as read from a cache directory. The reader takes a path, so
// each input goes through one file in a tmpfs directory.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "cache/metadata_table.h"
#include "fuzz_schema.h"

namespace {

std::filesystem::path input_path() {
  const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  return std::filesystem::path(base) / ("brivane-fuzz-metadata-" + std::to_string(::getpid()) + ".arrow");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const brivane::MetadataSchema schema = brivane::fuzz::seed_schema();
  static const std::filesystem::path path = input_path();
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) __builtin_trap();
  if (size != 0 && std::fwrite(data, 1, size, f) != size) __builtin_trap();
  std::fclose(f);

  auto batches = brivane::read_metadata_batches(path);
  if (batches.ok()) {
    auto rows = brivane::metadata_rows_from_batches(schema, *batches);
    if (rows.ok()) {
      for (const auto& row : *rows) {
        if (row.size() != schema.size()) __builtin_trap();
      }
    }
  }
  return 0;
}
