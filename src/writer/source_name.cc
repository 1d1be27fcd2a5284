#include "writer/source_name.h"

namespace brivane {

std::vector<PathComponent> path_components(std::string_view path) {
  std::vector<PathComponent> out;
  std::size_t pos = 0;
  if (!path.empty() && path.front() == '/') {
    out.push_back({PathComponentKind::Root, {}});
    pos = 1;
  }
  bool first = out.empty();
  while (pos <= path.size()) {
    std::size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(pos, end - pos);
    if (part == "..") {
      out.push_back({PathComponentKind::ParentDir, {}});
    } else if (part == ".") {
      if (first) out.push_back({PathComponentKind::CurDir, {}});
    } else if (!part.empty()) {
      out.push_back({PathComponentKind::Normal, part});
    }
    first = false;
    pos = end + 1;
  }
  return out;
}

bool is_plain_segment(std::string_view name) {
  auto parts = path_components(name);
  return parts.size() == 1 && parts.front().kind == PathComponentKind::Normal;
}

Status check_source_name(std::string_view name) {
  if (name.empty()) return ModuleError::invalid_argument("CacheSource.name must not be empty");
  if (!is_plain_segment(name)) return ModuleError::invalid_argument("CacheSource.name must be a plain path segment");
  return ok_status();
}

}  // namespace brivane
