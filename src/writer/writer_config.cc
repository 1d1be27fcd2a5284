#include "writer/writer_config.h"

#include <cmath>

namespace brivane {

Status check_sizes(const WriterConfig& config) {
  if (config.max_shard_bytes == 0) return ModuleError::invalid_argument("max_shard_bytes must be greater than zero");
  if (config.prefetch_size == 0) return ModuleError::invalid_argument("prefetch_size must be greater than zero");
  return ok_status();
}

Result<ShardCompression> parse_shard_compression(std::string_view algo, double ratio) {
  ShardCompression out;
  if (algo == "lz4") {
    out.algo = CompressionAlgo::Lz4;
  } else if (algo == "none") {
    out.algo = CompressionAlgo::None;
  } else {
    return ModuleError::invalid_argument("unsupported shard compression algorithm '" + std::string(algo) + "'");
  }
  if (!(ratio > 0.0) || !std::isfinite(ratio)) {
    return ModuleError::invalid_argument("shard_compression.ratio must be positive and finite");
  }
  if (out.algo == CompressionAlgo::None && ratio != 1.0) {
    return ModuleError::invalid_argument("shard_compression.ratio must be 1.0 when algo is 'none'");
  }
  out.ratio = ratio;
  return out;
}

}  // namespace brivane
