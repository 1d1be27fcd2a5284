// The open shard files of one reading thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "runtime/error.h"

namespace brivane {

// A shard file as readers look it up: its path and the hash of that path,
// both computed once when the cache is opened so that a read does no path work.
struct ShardFile {
  std::string path;
  std::uint64_t hash = 0;

  // Separators are collapsed so that two spellings of one directory that are
  // equal as paths ("a//b", "a/b") share a reader.
  static ShardFile at(const std::filesystem::path& path);
};

// At most kLimit shard files held open, keyed by path. When full, the file
// opened longest ago is closed first, however recently it was used.
//
// A reader is a bare read-only descriptor. Every record read is one positioned
// read (pread) of exactly the record, so no user-space read buffer sits in
// front of it: a buffer would only add a copy, since every read starts at a
// new offset and discards whatever a buffer held.
//
// Belongs to one thread; not safe for concurrent use.
class ShardReaderCache {
 public:
  static constexpr std::size_t kLimit = 64;

  ShardReaderCache() = default;
  ShardReaderCache(const ShardReaderCache&) = delete;
  ShardReaderCache& operator=(const ShardReaderCache&) = delete;
  ~ShardReaderCache();

  // Reads exactly n bytes at `offset` of the file, opening it first if it is
  // not open. Open and read failures, an early end of file included, are Io.
  Status read_exact(const ShardFile& file, std::uint64_t offset, std::uint8_t* out, std::size_t n);

  // Open readers and their paths, for inspection.
  std::size_t size() const { return count_; }
  bool contains(std::string_view path) const;
  // Files opened over the cache's lifetime.
  std::uint64_t opened_files() const { return opened_files_; }

 private:
  struct Slot {
    std::string path;
    std::uint64_t hash = 0;
    int fd = -1;
  };

  // The descriptor for `file`, opening it on a miss.
  Result<int> descriptor_for(const ShardFile& file);

  // Slots in order of opening, as a ring: oldest_ is the slot evicted next
  // once all kLimit are in use.
  std::array<Slot, kLimit> slots_;
  std::size_t count_ = 0;
  std::size_t oldest_ = 0;
  std::size_t last_hit_ = 0;
  std::uint64_t opened_files_ = 0;
};

// The calling thread's reader cache, created on first use and closed when the
// thread ends.
ShardReaderCache& this_thread_reader_cache();

}  // namespace brivane
