#include "cache/metadata_schema.h"

#include <cmath>
#include <string>

namespace brivane {

namespace {

Status check_finite(const std::string& name, const MetadataValue& value) {
  if (const double* x = std::get_if<double>(&value); x && !std::isfinite(*x)) {
    return ModuleError::invalid_argument("metadata field '" + name + "' must be a finite float");
  }
  return ok_status();
}

}  // namespace

Result<MetadataRow> type_sample_metadata(MetadataSchema& schema, bool& schema_fixed, const SampleMetadata& metadata) {
  MetadataRow row;
  row.reserve(metadata.size());
  if (!schema_fixed) {
    MetadataSchema fixed;
    fixed.reserve(metadata.size());
    for (const auto& [name, value] : metadata) {
      BRV_TRY(check_finite(name, value));
      fixed.push_back({name, kind_of(value)});
      row.push_back(value);
    }
    schema = std::move(fixed);
    schema_fixed = true;
    return row;
  }
  if (metadata.size() != schema.size()) {
    return ModuleError::invalid_argument("metadata keys must be identical for every sample");
  }
  for (const MetadataField& field : schema) {
    auto it = metadata.find(field.name);
    if (it == metadata.end()) return ModuleError::invalid_argument("metadata field '" + field.name + "' is missing");
    MetadataKind actual = kind_of(it->second);
    if (actual != field.kind) {
      return ModuleError::invalid_argument("metadata field '" + field.name + "' expected " +
                                           std::string(kind_text(field.kind)) + ", got " +
                                           std::string(kind_text(actual)));
    }
    BRV_TRY(check_finite(field.name, it->second));
    row.push_back(it->second);
  }
  return row;
}

bool rows_equal(const MetadataRow& a, const MetadataRow& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    // variant == compares the alternative first, then the payload with its
    // own ==, which for double is numeric equality.
    if (!(a[i] == b[i])) return false;
  }
  return true;
}

}  // namespace brivane
