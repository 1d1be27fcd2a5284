// Typed metadata values: what every sample carries besides its payload.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace brivane {

// Stored numeric values 0-3 are part of the format; keep the order.
enum class MetadataKind : std::uint8_t { Bool = 0, Int = 1, Float = 2, String = 3 };

// "bool", "int", "float", "string".
std::string_view kind_text(MetadataKind kind);

struct MetadataField {
  std::string name;
  MetadataKind kind;
  bool operator==(const MetadataField&) const = default;
};

using MetadataSchema = std::vector<MetadataField>;

// Exactly one of Bool, Int (signed 64-bit), Float (64-bit), String (UTF-8);
// the variant index is the MetadataKind.
using MetadataValue = std::variant<bool, std::int64_t, double, std::string>;

inline MetadataKind kind_of(const MetadataValue& value) { return static_cast<MetadataKind>(value.index()); }

// One value per schema field, in schema order.
using MetadataRow = std::vector<MetadataValue>;

// Writer input: key -> value, ordered by key bytes (std::string compares bytewise).
using SampleMetadata = std::map<std::string, MetadataValue>;

}  // namespace brivane
