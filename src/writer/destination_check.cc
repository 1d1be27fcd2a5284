#include "writer/destination_check.h"

#include "writer/destination.h"

namespace brivane {

Status DestinationSet::add(std::string_view base_cache_dir, std::string_view name) {
  std::string destination = join_path(base_cache_dir, name);
  Key key;
  for (const PathComponent& part : path_components(destination)) key.emplace_back(part.kind, std::string(part.text));
  if (!seen_.insert(std::move(key)).second) {
    return ModuleError::invalid_argument("duplicate generated cache path: " + destination);
  }
  return ok_status();
}

}  // namespace brivane
