// The shard file being filled: records appended through a 1 MiB buffer, with
// the file's SHA-256 kept up to date so shards are never read back to hash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "cache/file_io.h"
#include "cache/manifest.h"
#include "cache/sha256.h"
#include "runtime/error.h"

namespace brivane {

// "000012.bin": the number zero-padded to at least six digits.
std::string shard_file_name(std::uint64_t number);

// Small records come in by the hundred thousand: with an 8 KiB buffer one
// write system call per few records was a fifth of the time spent on each.
inline constexpr std::size_t kShardBufferSize = 1u << 20;

class ShardWriter {
 public:
  // Creates (or truncates) dir/shards/<name>, mode 0o666; failure is Io.
  static Result<ShardWriter> open(const std::filesystem::path& dir, std::uint64_t number);

  // Appends one record, `length` bytes from `record` followed by `tail`,
  // holding `data_length` bytes of sample data before compression. Counts are
  // checked before anything is written.
  Status write(const std::uint8_t* record, std::size_t length, std::span<const std::uint8_t> tail,
               std::uint64_t data_length);

  // Writes out the buffer, closes the file and describes the shard.
  Result<ShardManifest> finish(const ShardCompression& compression) &&;

  std::uint64_t number() const { return number_; }
  const std::string& name() const { return name_; }
  std::uint64_t byte_count() const { return byte_count_; }
  std::uint64_t data_byte_count() const { return data_byte_count_; }

 private:
  ShardWriter(std::string name, BufferedFileWriter file, std::uint64_t number)
      : name_(std::move(name)), file_(std::move(file)), number_(number) {}

  std::string name_;
  BufferedFileWriter file_;
  std::uint64_t number_;
  std::uint64_t byte_count_ = 0;
  std::uint64_t data_byte_count_ = 0;
  Sha256 digest_;
};

}  // namespace brivane
