#include "cache/manifest.h"

namespace brivane {

std::string_view algo_text(CompressionAlgo algo) {
  switch (algo) {
    case CompressionAlgo::None: return "none";
    case CompressionAlgo::Lz4: return "lz4";
  }
  return "none";
}

}  // namespace brivane
