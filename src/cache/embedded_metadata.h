// The compact JSON object that carries a sample's metadata inside its shard
// record: {"key":value,...} in schema order, no whitespace.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "cache/metadata_value.h"
#include "runtime/error.h"

namespace brivane {

// Encoding pairs schema field j with row value j; the caller makes sure the
// row matches the schema. Floats always carry '.' or 'e' so they read back as
// floats; a non-finite float is written as null.
std::size_t embedded_metadata_size(const MetadataSchema& schema, const MetadataRow& row);
// Writes exactly embedded_metadata_size() bytes at dst and returns the end.
char* write_embedded_metadata(char* dst, const MetadataSchema& schema, const MetadataRow& row);
void append_embedded_metadata(std::string& out, const MetadataSchema& schema, const MetadataRow& row);

// Reads the object back as a row of `schema`. JSON that is malformed, not an
// object, or holds a value that is no metadata value (null, list, object) is
// Json; keys or kinds that do not fit the schema are InvalidCache. A key given
// twice keeps its last value.
Result<MetadataRow> decode_embedded_metadata(std::string_view json, const MetadataSchema& schema);

}  // namespace brivane
