// The JSON object embedded in a shard record.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cache/embedded_metadata.h"
#include "fuzz_schema.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const brivane::MetadataSchema schema = brivane::fuzz::seed_schema();
  static const brivane::MetadataSchema empty_schema;
  const std::string_view json(reinterpret_cast<const char*>(data), size);

  auto row = brivane::decode_embedded_metadata(json, schema);
  if (row.ok()) {
    // A decoded row is typed by the schema and re-encodes to a row that decodes alike.
    if (row->size() != schema.size()) __builtin_trap();
    for (std::size_t j = 0; j < schema.size(); ++j) {
      if (brivane::kind_of((*row)[j]) != schema[j].kind) __builtin_trap();
    }
    std::string again;
    brivane::append_embedded_metadata(again, schema, *row);
    if (again.size() != brivane::embedded_metadata_size(schema, *row)) __builtin_trap();
    auto reread = brivane::decode_embedded_metadata(again, schema);
    if (!reread.ok() || reread->size() != row->size()) __builtin_trap();
  }
  (void)brivane::decode_embedded_metadata(json, empty_schema);
  return 0;
}
