// The metadata schema and population the fuzz targets check their inputs
// against. make_corpus.py writes its seed caches with the same schema, so the
// seeds start out valid and mutations explore the edges from there.
#pragma once

#include <cstdint>
#include <vector>

#include "cache/metadata_value.h"

namespace brivane::fuzz {

inline MetadataSchema seed_schema() {
  return {{"flag", MetadataKind::Bool},
          {"i", MetadataKind::Int},
          {"name", MetadataKind::String},
          {"x", MetadataKind::Float}};
}

// Two caches of 5 and 3 samples.
inline const std::vector<std::uint64_t>& seed_sample_counts() {
  static const std::vector<std::uint64_t> counts{5, 3};
  return counts;
}
inline const std::vector<std::uint64_t>& seed_cache_offsets() {
  static const std::vector<std::uint64_t> offsets{0, 5};
  return offsets;
}

}  // namespace brivane::fuzz
