// Fixing a source's metadata schema and typing each sample against it.
#pragma once

#include "cache/metadata_value.h"
#include "runtime/error.h"

namespace brivane {

// The sample's MetadataRow in schema order. The first call (schema_fixed
// false) makes the schema the sample's keys in byte order with their kinds,
// even when there are none, and sets schema_fixed. Every later sample must
// have exactly the schema's keys with the same kinds; there is no conversion
// between kinds. Floats must be finite, since a non-finite one could never be
// read back. On failure schema and schema_fixed are unchanged.
Result<MetadataRow> type_sample_metadata(MetadataSchema& schema, bool& schema_fixed, const SampleMetadata& metadata);

// Same length and, position by position, the same kind and an equal value;
// floats compare numerically (NaN is never equal, 0.0 equals -0.0).
bool rows_equal(const MetadataRow& a, const MetadataRow& b);

}  // namespace brivane
