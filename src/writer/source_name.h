// The rule that keeps a source's name one plain directory name, and the
// component-wise comparison of the paths built from it.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "runtime/error.h"

namespace brivane {

enum class PathComponentKind : std::uint8_t { Root, CurDir, ParentDir, Normal };

struct PathComponent {
  PathComponentKind kind;
  std::string_view text;  // the bytes of a Normal component; empty otherwise
  auto operator<=>(const PathComponent&) const = default;
};

// Splits a POSIX path the usual way: "/" separates, repeated and trailing
// separators give nothing, a leading "/" is Root, "." counts only at the start,
// ".." always counts. The views point into `path`.
std::vector<PathComponent> path_components(std::string_view path);

// Exactly one component, and an ordinary name ("a", "a/", "a/." pass).
bool is_plain_segment(std::string_view name);

// InvalidArgument unless `name` is a usable source name.
Status check_source_name(std::string_view name);

}  // namespace brivane
