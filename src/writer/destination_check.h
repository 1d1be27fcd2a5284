// The duplicate-destination rule shared by write_cache and
// validate_source_paths: destinations are equal when their path components are.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/error.h"
#include "writer/source_name.h"

namespace brivane {

class DestinationSet {
 public:
  // Adds base_cache_dir joined with `name`; a destination equal to one already
  // held fails with "duplicate generated cache path: {path}".
  Status add(std::string_view base_cache_dir, std::string_view name);

 private:
  using Key = std::vector<std::pair<PathComponentKind, std::string>>;
  std::set<Key> seen_;
};

}  // namespace brivane
