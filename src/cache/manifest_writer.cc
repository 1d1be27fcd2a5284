#include <string>

#include "cache/file_io.h"
#include "cache/json_text.h"
#include "cache/manifest.h"

namespace brivane {

namespace {

void write_field(PrettyJsonWriter& json, const MetadataField& field) {
  json.begin_object();
  json.key("name");
  json.string_value(field.name);
  json.key("kind");
  json.string_value(kind_text(field.kind));
  json.end_object();
}

void write_shard(PrettyJsonWriter& json, const ShardManifest& shard) {
  json.begin_object();
  json.key("name");
  json.string_value(shard.name);
  json.key("uncompressed_byte_len");
  json.uint_value(shard.uncompressed_byte_len);
  json.key("byte_len");
  json.uint_value(shard.byte_len);
  json.key("compression");
  json.begin_object();
  json.key("algo");
  json.string_value(algo_text(shard.compression.algo));
  json.key("ratio");
  json.float_value(shard.compression.ratio);
  json.end_object();
  json.key("sha256");
  json.string_value(shard.sha256);
  json.end_object();
}

// Failures of the writes made while the text is produced are Json failures;
// only creating the file and the final flush are Io.
Status pass_on(BufferedFileWriter& file, std::string& text) {
  Status written = file.write(text.data(), text.size());
  text.clear();
  if (!written.ok()) return ModuleError::json(written.error().payload());
  return ok_status();
}

}  // namespace

Status write_manifest_file(const std::filesystem::path& path, const Manifest& manifest) {
  BRV_ASSIGN_OR_RETURN(BufferedFileWriter file, BufferedFileWriter::create(path));
  std::string text;
  PrettyJsonWriter json(text);
  json.begin_object();
  json.key("format_version");
  json.uint_value(manifest.format_version);
  json.key("source_name");
  json.string_value(manifest.source_name);
  json.key("sample_count");
  json.uint_value(manifest.sample_count);
  json.key("metadata_schema");
  json.begin_array();
  for (const MetadataField& field : manifest.metadata_schema) write_field(json, field);
  json.end_array();
  json.key("metadata_sha256");
  json.string_value(manifest.metadata_sha256);
  json.key("index_sha256");
  json.string_value(manifest.index_sha256);
  json.key("shards");
  json.begin_array();
  for (const ShardManifest& shard : manifest.shards) {
    write_shard(json, shard);
    // Keep the text small: hand it on whenever a buffer's worth has built up.
    if (text.size() >= BufferedFileWriter::kBufferSize) BRV_TRY(pass_on(file, text));
  }
  json.end_array();
  json.end_object();
  BRV_TRY(pass_on(file, text));
  return file.close();
}

}  // namespace brivane
