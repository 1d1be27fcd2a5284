#include "cache/embedded_metadata.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include "cache/json_number.h"
#include "cache/json_position.h"
#include "cache/json_surrogate.h"
#include "cache/json_text.h"

namespace brivane {

namespace {

std::size_t value_size(const MetadataValue& value) {
  switch (kind_of(value)) {
    case MetadataKind::Bool: return std::get<bool>(value) ? 4 : 5;
    case MetadataKind::Int: return json_int_size(std::get<std::int64_t>(value));
    case MetadataKind::Float: return json_float_size(std::get<double>(value));
    case MetadataKind::String: return json_string_size(std::get<std::string>(value));
  }
  return 0;
}

char* write_value(char* dst, const MetadataValue& value) {
  switch (kind_of(value)) {
    case MetadataKind::Bool:
      if (std::get<bool>(value)) {
        std::memcpy(dst, "true", 4);
        return dst + 4;
      }
      std::memcpy(dst, "false", 5);
      return dst + 5;
    case MetadataKind::Int: return write_json_int(dst, std::get<std::int64_t>(value));
    case MetadataKind::Float: return write_json_float(dst, std::get<double>(value));
    case MetadataKind::String: return write_json_string(dst, std::get<std::string>(value));
  }
  return dst;
}

}  // namespace

std::size_t embedded_metadata_size(const MetadataSchema& schema, const MetadataRow& row) {
  std::size_t n = std::min(schema.size(), row.size());
  std::size_t size = 2 + (n > 0 ? n - 1 : 0);  // braces and commas
  for (std::size_t j = 0; j < n; ++j) size += json_string_size(schema[j].name) + 1 + value_size(row[j]);
  return size;
}

char* write_embedded_metadata(char* dst, const MetadataSchema& schema, const MetadataRow& row) {
  std::size_t n = std::min(schema.size(), row.size());
  *dst++ = '{';
  for (std::size_t j = 0; j < n; ++j) {
    if (j > 0) *dst++ = ',';
    dst = write_json_string(dst, schema[j].name);
    *dst++ = ':';
    dst = write_value(dst, row[j]);
  }
  *dst++ = '}';
  return dst;
}

void append_embedded_metadata(std::string& out, const MetadataSchema& schema, const MetadataRow& row) {
  std::size_t at = out.size();
  out.resize(at + embedded_metadata_size(schema, row));
  write_embedded_metadata(out.data() + at, schema, row);
}

namespace {

constexpr const char* kNoVariant = "data did not match any variant of untagged enum MetadataValue";

// Which schema fields a record has given; schemas are small, so usually a mask.
class FieldSet {
 public:
  explicit FieldSet(std::size_t n) {
    if (n > 64) wide_.assign(n, false);
  }
  // Whether the field was new.
  bool insert(std::size_t j) {
    if (wide_.empty()) {
      std::uint64_t bit = std::uint64_t{1} << j;
      bool fresh = !(mask_ & bit);
      mask_ |= bit;
      count_ += fresh;
      return fresh;
    }
    bool fresh = !wide_[j];
    wide_[j] = true;
    count_ += fresh;
    return fresh;
  }
  bool contains(std::size_t j) const { return wide_.empty() ? (mask_ >> j) & 1 : wide_[j]; }
  std::size_t count() const { return count_; }

 private:
  std::uint64_t mask_ = 0;
  std::vector<bool> wide_;
  std::size_t count_ = 0;
};

class EmbeddedHandler {
 public:
  EmbeddedHandler(const MetadataSchema& schema, MetadataRow& row, FieldSet& given,
                  const rapidjson::MemoryStream& stream)
      : schema_(schema), row_(row), given_(given), stream_(stream) {}

  const JsonHandlerFailure& failure() const { return failure_; }
  std::size_t unknown_key_count() const { return unknown_keys_.size(); }

  bool Null() { return in_object_ ? fail(kNoVariant) : not_an_object("null"); }
  bool Bool(bool b) { return value(b, b ? "boolean `true`" : "boolean `false`"); }
  bool Int(int i) { return value(std::int64_t{i}, "integer"); }
  bool Uint(unsigned u) { return value(std::int64_t{u}, "integer"); }
  bool Int64(std::int64_t i) { return value(i, "integer"); }
  bool Uint64(std::uint64_t u) {
    if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return value(static_cast<std::int64_t>(u), "integer");
    }
    return value(static_cast<double>(u), "floating point");
  }
  bool Double(double d) {
    if (!std::isfinite(d)) return fail("number out of range");
    return value(d, "floating point");
  }
  bool RawNumber(const char* s, rapidjson::SizeType n, bool) { return dispatch_json_number(*this, {s, n}); }
  bool String(const char* s, rapidjson::SizeType n, bool) {
    if (has_encoded_surrogate({s, n})) return fail(kInvalidSurrogateMessage);
    return value(std::string(s, n), "string");
  }

  bool StartObject() {
    if (in_object_) return fail(kNoVariant);
    in_object_ = true;
    return true;
  }
  bool Key(const char* s, rapidjson::SizeType n, bool) {
    std::string_view key(s, n);
    for (std::size_t j = 0; j < schema_.size(); ++j) {
      if (schema_[j].name == key) {
        pending_ = static_cast<std::ptrdiff_t>(j);
        return true;
      }
    }
    pending_ = -1;
    // Keys outside the schema still count as keys; remember each once.
    for (const std::string& known : unknown_keys_) {
      if (known == key) return true;
    }
    unknown_keys_.emplace_back(key);
    return true;
  }
  bool EndObject(rapidjson::SizeType) { return true; }
  bool StartArray() { return in_object_ ? fail(kNoVariant) : not_an_object("sequence"); }
  bool EndArray(rapidjson::SizeType) { return true; }

 private:
  bool fail(std::string message) {
    failure_.message = std::move(message);
    failure_.consumed = stream_.Tell();
    return false;
  }
  bool not_an_object(std::string_view what) { return fail("invalid type: " + std::string(what) + ", expected a map"); }

  template <class T>
  bool value(T&& v, std::string_view what) {
    if (!in_object_) return not_an_object(what);
    if (pending_ >= 0) {
      auto j = static_cast<std::size_t>(pending_);
      row_[j] = std::forward<T>(v);
      given_.insert(j);
    }
    return true;
  }

  const MetadataSchema& schema_;
  MetadataRow& row_;
  FieldSet& given_;
  const rapidjson::MemoryStream& stream_;
  bool in_object_ = false;
  std::ptrdiff_t pending_ = -1;  // schema field of the value that comes next, -1 for none
  std::vector<std::string> unknown_keys_;
  JsonHandlerFailure failure_;
};

}  // namespace

Result<MetadataRow> decode_embedded_metadata(std::string_view json, const MetadataSchema& schema) {
  MetadataRow row(schema.size());
  FieldSet given(schema.size());
  rapidjson::MemoryStream stream(json.data(), json.size());
  EmbeddedHandler handler(schema, row, given, stream);
  // One reader per thread keeps its scratch stack from sample to sample.
  thread_local rapidjson::Reader reader;
  // Numbers arrive as text and are converted by read_json_number (json_number.h).
  constexpr unsigned kFlags = rapidjson::kParseFullPrecisionFlag | rapidjson::kParseValidateEncodingFlag |
                              rapidjson::kParseNumbersAsStringsFlag;
  rapidjson::ParseResult parsed = reader.Parse<kFlags>(stream, handler);
  if (parsed.IsError()) return json_parse_failure(json, parsed.Code(), parsed.Offset(), handler.failure());
  if (stream.Tell() < json.size()) {
    return ModuleError::json(with_json_position("trailing characters", json, stream.Tell() + 1));
  }

  if (given.count() + handler.unknown_key_count() != schema.size()) {
    return ModuleError::invalid_cache("embedded metadata keys do not match schema");
  }
  for (std::size_t j = 0; j < schema.size(); ++j) {
    const MetadataField& field = schema[j];
    if (!given.contains(j)) return ModuleError::invalid_cache("embedded metadata field '" + field.name + "' is missing");
    MetadataKind actual = kind_of(row[j]);
    if (actual != field.kind) {
      return ModuleError::invalid_cache("embedded metadata field '" + field.name + "' expected " +
                                        std::string(kind_text(field.kind)) + ", got " +
                                        std::string(kind_text(actual)));
    }
  }
  return row;
}

}  // namespace brivane
