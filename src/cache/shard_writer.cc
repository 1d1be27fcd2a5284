#include "cache/shard_writer.h"

#include <cstdio>
#include <limits>

namespace brivane {

std::string shard_file_name(std::uint64_t number) {
  char name[32];
  std::snprintf(name, sizeof name, "%06llu.bin", static_cast<unsigned long long>(number));
  return name;
}

Result<ShardWriter> ShardWriter::open(const std::filesystem::path& dir, std::uint64_t number) {
  std::string name = shard_file_name(number);
  BRV_ASSIGN_OR_RETURN(BufferedFileWriter file, BufferedFileWriter::create(dir / "shards" / name, kShardBufferSize));
  return ShardWriter(std::move(name), std::move(file), number);
}

Status ShardWriter::write(const std::uint8_t* record, std::size_t length, std::span<const std::uint8_t> tail,
                          std::uint64_t data_length) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (data_length > kMax - data_byte_count_) {
    return ModuleError::invalid_argument("shard uncompressed byte length overflowed u64");
  }
  if (length > kMax - byte_count_ || tail.size() > kMax - byte_count_ - length) {
    return ModuleError::invalid_argument("shard byte length overflowed u64");
  }
  BRV_TRY(file_.write(record, length));
  digest_.update(record, length);
  if (!tail.empty()) {
    BRV_TRY(file_.write(tail.data(), tail.size()));
    digest_.update(tail.data(), tail.size());
  }
  byte_count_ += length + tail.size();
  data_byte_count_ += data_length;
  return ok_status();
}

Result<ShardManifest> ShardWriter::finish(const ShardCompression& compression) && {
  BRV_TRY(file_.close());
  return ShardManifest{std::move(name_), data_byte_count_, byte_count_, compression, digest_.hex_digest()};
}

}  // namespace brivane
