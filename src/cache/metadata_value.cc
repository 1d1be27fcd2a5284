#include "cache/metadata_value.h"

namespace brivane {

std::string_view kind_text(MetadataKind kind) {
  switch (kind) {
    case MetadataKind::Bool: return "bool";
    case MetadataKind::Int: return "int";
    case MetadataKind::Float: return "float";
    case MetadataKind::String: return "string";
  }
  return "bool";
}

}  // namespace brivane
