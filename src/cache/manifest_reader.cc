#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include "cache/file_io.h"
#include "cache/json_number.h"
#include "cache/json_position.h"
#include "cache/json_surrogate.h"
#include "cache/json_text.h"
#include "cache/manifest.h"

namespace brivane {

namespace {

// ---- The shape of the document -------------------------------------------

enum class Type : std::uint8_t { U32, U64, F64, Str, Kind, Algo, FieldList, ShardList, CompressionObject };
enum class Record : std::uint8_t { Manifest, Field, Shard, Compression };

struct FieldSpec {
  std::string_view name;
  Type type;
};

constexpr FieldSpec kManifestFields[] = {
    {"format_version", Type::U32}, {"source_name", Type::Str},     {"sample_count", Type::U64},
    {"metadata_schema", Type::FieldList}, {"metadata_sha256", Type::Str}, {"index_sha256", Type::Str},
    {"shards", Type::ShardList},
};
constexpr FieldSpec kMetadataFieldFields[] = {{"name", Type::Str}, {"kind", Type::Kind}};
constexpr FieldSpec kShardFields[] = {
    {"name", Type::Str},     {"uncompressed_byte_len", Type::U64},       {"byte_len", Type::U64},
    {"compression", Type::CompressionObject}, {"sha256", Type::Str},
};
constexpr FieldSpec kCompressionFields[] = {{"algo", Type::Algo}, {"ratio", Type::F64}};

std::span<const FieldSpec> fields_of(Record record) {
  switch (record) {
    case Record::Manifest: return kManifestFields;
    case Record::Field: return kMetadataFieldFields;
    case Record::Shard: return kShardFields;
    case Record::Compression: return kCompressionFields;
  }
  return {};
}

std::string_view struct_name(Record record) {
  switch (record) {
    case Record::Manifest: return "struct Manifest";
    case Record::Field: return "struct MetadataField";
    case Record::Shard: return "struct ShardManifest";
    case Record::Compression: return "struct ShardCompression";
  }
  return {};
}

std::string_view expected_text(Type type) {
  switch (type) {
    case Type::U32: return "u32";
    case Type::U64: return "u64";
    case Type::F64: return "f64";
    case Type::Str: return "a string";
    case Type::Kind: return "a metadata kind";
    case Type::Algo: return "a compression algorithm";
    case Type::FieldList:
    case Type::ShardList: return "a sequence";
    case Type::CompressionObject: return struct_name(Record::Compression);
  }
  return {};
}

// ---- One JSON value as the handler sees it -------------------------------

struct Scalar {
  enum class Tag : std::uint8_t { Null, Bool, Negative, Unsigned, Double, String };
  Tag tag = Tag::Null;
  bool b = false;
  std::int64_t negative = 0;
  std::uint64_t unsigned_value = 0;
  double d = 0;
  std::string_view text{};
};

std::string unexpected_text(const Scalar& v) {
  std::string out;
  switch (v.tag) {
    case Scalar::Tag::Null: return "null";
    case Scalar::Tag::Bool: return v.b ? "boolean `true`" : "boolean `false`";
    case Scalar::Tag::Negative: return "integer `" + std::to_string(v.negative) + "`";
    case Scalar::Tag::Unsigned: return "integer `" + std::to_string(v.unsigned_value) + "`";
    case Scalar::Tag::Double:
      out = "floating point `";
      append_json_float(out, v.d);
      return out + "`";
    case Scalar::Tag::String:
      out = "string ";
      append_json_string(out, v.text);
      return out;
  }
  return out;
}

bool parse_kind(std::string_view text, MetadataKind& kind) {
  for (auto k : {MetadataKind::Bool, MetadataKind::Int, MetadataKind::Float, MetadataKind::String}) {
    if (kind_text(k) == text) {
      kind = k;
      return true;
    }
  }
  return false;
}

// ---- The SAX handler: builds the Manifest as the events arrive -----------

class ManifestHandler {
 public:
  ManifestHandler(Manifest& out, const rapidjson::MemoryStream& stream) : out_(out), stream_(stream) {}

  const JsonHandlerFailure& failure() const { return failure_; }

  bool Null() { return scalar({.tag = Scalar::Tag::Null}); }
  bool Bool(bool b) { return scalar({.tag = Scalar::Tag::Bool, .b = b}); }
  bool Int(int i) { return Int64(i); }
  bool Uint(unsigned u) { return Uint64(u); }
  bool Int64(std::int64_t i) {
    if (i >= 0) return Uint64(static_cast<std::uint64_t>(i));
    return scalar({.tag = Scalar::Tag::Negative, .negative = i});
  }
  bool Uint64(std::uint64_t u) { return scalar({.tag = Scalar::Tag::Unsigned, .unsigned_value = u}); }
  bool Double(double d) {
    if (!std::isfinite(d)) return fail("number out of range");
    return scalar({.tag = Scalar::Tag::Double, .d = d});
  }
  bool RawNumber(const char* s, rapidjson::SizeType n, bool) { return dispatch_json_number(*this, {s, n}); }
  bool String(const char* s, rapidjson::SizeType n, bool) {
    if (has_encoded_surrogate({s, n})) return fail(kInvalidSurrogateMessage);
    return scalar({.tag = Scalar::Tag::String, .text = std::string_view(s, n)});
  }

  bool StartObject();
  bool Key(const char* s, rapidjson::SizeType n, bool);
  bool EndObject(rapidjson::SizeType);
  bool StartArray();
  bool EndArray(rapidjson::SizeType);

 private:
  static constexpr int kNone = -1;
  static constexpr int kSkip = -2;
  static constexpr std::size_t kMaxDepth = 128;

  struct Frame {
    bool is_list;
    Record record;           // the object's record, or the list's element record
    void* target;            // the record being filled, or the vector being appended to
    std::uint32_t seen = 0;  // fields given so far, one bit per field
    int pending = kNone;     // the field whose value comes next
  };

  bool fail(std::string message) {
    failure_.message = std::move(message);
    failure_.consumed = stream_.Tell();
    return false;
  }
  bool type_error(std::string_view unexpected, std::string_view expected) {
    return fail("invalid type: " + std::string(unexpected) + ", expected " + std::string(expected));
  }
  // The field the next value belongs to, taken off the object's frame.
  int take_pending() {
    Frame& top = stack_.back();
    int field = top.pending;
    top.pending = kNone;
    return field;
  }

  bool scalar(const Scalar& v);
  bool store(const Frame& frame, const FieldSpec& spec, const Scalar& v);
  bool open_record(Record record, void* target);
  bool enter_skipped();

  Manifest& out_;
  const rapidjson::MemoryStream& stream_;
  std::vector<Frame> stack_;
  std::size_t skip_depth_ = 0;  // > 0 while inside the value of an unknown key
  JsonHandlerFailure failure_;
};

bool ManifestHandler::open_record(Record record, void* target) {
  stack_.push_back(Frame{.is_list = false, .record = record, .target = target});
  return true;
}

bool ManifestHandler::enter_skipped() {
  // The reader recurses per nesting level: bound it so that a hostile file
  // fails instead of exhausting the stack.
  if (stack_.size() + ++skip_depth_ > kMaxDepth) return fail("recursion limit exceeded");
  return true;
}

bool ManifestHandler::StartObject() {
  if (skip_depth_ > 0) return enter_skipped();
  if (stack_.empty()) return open_record(Record::Manifest, &out_);
  Frame& top = stack_.back();
  if (top.is_list) {
    if (top.record == Record::Field) {
      auto& list = *static_cast<std::vector<MetadataField>*>(top.target);
      list.emplace_back();
      return open_record(Record::Field, &list.back());
    }
    auto& list = *static_cast<std::vector<ShardManifest>*>(top.target);
    list.emplace_back();
    return open_record(Record::Shard, &list.back());
  }
  int field = take_pending();
  if (field == kSkip) return enter_skipped();
  const FieldSpec& spec = fields_of(top.record)[field];
  if (spec.type != Type::CompressionObject) return type_error("map", expected_text(spec.type));
  return open_record(Record::Compression, &static_cast<ShardManifest*>(top.target)->compression);
}

bool ManifestHandler::StartArray() {
  if (skip_depth_ > 0) return enter_skipped();
  if (stack_.empty()) return type_error("sequence", struct_name(Record::Manifest));
  Frame& top = stack_.back();
  if (top.is_list) return type_error("sequence", struct_name(top.record));
  int field = take_pending();
  if (field == kSkip) return enter_skipped();
  const FieldSpec& spec = fields_of(top.record)[field];
  auto* manifest = static_cast<Manifest*>(top.target);
  if (spec.type == Type::FieldList) {
    stack_.push_back(Frame{.is_list = true, .record = Record::Field, .target = &manifest->metadata_schema});
    return true;
  }
  if (spec.type == Type::ShardList) {
    stack_.push_back(Frame{.is_list = true, .record = Record::Shard, .target = &manifest->shards});
    return true;
  }
  return type_error("sequence", expected_text(spec.type));
}

bool ManifestHandler::Key(const char* s, rapidjson::SizeType n, bool) {
  if (skip_depth_ > 0) return true;
  Frame& top = stack_.back();
  std::string_view key(s, n);
  std::span<const FieldSpec> fields = fields_of(top.record);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].name != key) continue;
    std::uint32_t bit = 1u << i;
    if (top.seen & bit) return fail("duplicate field `" + std::string(key) + "`");
    top.seen |= bit;
    top.pending = static_cast<int>(i);
    return true;
  }
  top.pending = kSkip;
  return true;
}

bool ManifestHandler::EndObject(rapidjson::SizeType) {
  if (skip_depth_ > 0) return --skip_depth_, true;
  const Frame& top = stack_.back();
  std::span<const FieldSpec> fields = fields_of(top.record);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (!(top.seen & (1u << i))) return fail("missing field `" + std::string(fields[i].name) + "`");
  }
  stack_.pop_back();
  return true;
}

bool ManifestHandler::EndArray(rapidjson::SizeType) {
  if (skip_depth_ > 0) return --skip_depth_, true;
  stack_.pop_back();
  return true;
}

bool ManifestHandler::scalar(const Scalar& v) {
  if (skip_depth_ > 0) return true;
  if (stack_.empty()) return type_error(unexpected_text(v), struct_name(Record::Manifest));
  Frame& top = stack_.back();
  if (top.is_list) return type_error(unexpected_text(v), struct_name(top.record));
  int field = take_pending();
  if (field == kSkip) return true;
  return store(top, fields_of(top.record)[field], v);
}

bool ManifestHandler::store(const Frame& frame, const FieldSpec& spec, const Scalar& v) {
  using Tag = Scalar::Tag;
  switch (spec.type) {
    case Type::U32:
    case Type::U64: {
      std::uint64_t max = spec.type == Type::U32 ? 0xFFFFFFFFull : ~0ull;
      if (v.tag == Tag::Negative || (v.tag == Tag::Unsigned && v.unsigned_value > max)) {
        return fail("invalid value: " + unexpected_text(v) + ", expected " + std::string(expected_text(spec.type)));
      }
      if (v.tag != Tag::Unsigned) return type_error(unexpected_text(v), expected_text(spec.type));
      break;
    }
    case Type::F64:
      if (v.tag != Tag::Negative && v.tag != Tag::Unsigned && v.tag != Tag::Double) {
        return type_error(unexpected_text(v), expected_text(spec.type));
      }
      break;
    case Type::Str:
    case Type::Kind:
    case Type::Algo:
      if (v.tag != Tag::String) return type_error(unexpected_text(v), expected_text(spec.type));
      break;
    default:
      return type_error(unexpected_text(v), expected_text(spec.type));
  }

  auto text = [&] { return std::string(v.text); };
  auto number = [&] {
    if (v.tag == Tag::Negative) return static_cast<double>(v.negative);
    if (v.tag == Tag::Unsigned) return static_cast<double>(v.unsigned_value);
    return v.d;
  };
  switch (frame.record) {
    case Record::Manifest: {
      auto& m = *static_cast<Manifest*>(frame.target);
      if (spec.name == "format_version") m.format_version = static_cast<std::uint32_t>(v.unsigned_value);
      else if (spec.name == "source_name") m.source_name = text();
      else if (spec.name == "sample_count") m.sample_count = v.unsigned_value;
      else if (spec.name == "metadata_sha256") m.metadata_sha256 = text();
      else if (spec.name == "index_sha256") m.index_sha256 = text();
      return true;
    }
    case Record::Field: {
      auto& f = *static_cast<MetadataField*>(frame.target);
      if (spec.name == "name") {
        f.name = text();
      } else if (!parse_kind(v.text, f.kind)) {
        return fail("unknown variant `" + text() + "`, expected one of `bool`, `int`, `float`, `string`");
      }
      return true;
    }
    case Record::Shard: {
      auto& s = *static_cast<ShardManifest*>(frame.target);
      if (spec.name == "name") s.name = text();
      else if (spec.name == "uncompressed_byte_len") s.uncompressed_byte_len = v.unsigned_value;
      else if (spec.name == "byte_len") s.byte_len = v.unsigned_value;
      else if (spec.name == "sha256") s.sha256 = text();
      return true;
    }
    case Record::Compression: {
      auto& c = *static_cast<ShardCompression*>(frame.target);
      if (spec.name == "ratio") {
        c.ratio = number();
      } else if (v.text == "none") {
        c.algo = CompressionAlgo::None;
      } else if (v.text == "lz4") {
        c.algo = CompressionAlgo::Lz4;
      } else {
        return fail("unknown variant `" + text() + "`, expected `none` or `lz4`");
      }
      return true;
    }
  }
  return true;
}

// ---- Reading the file ------------------------------------------------------

// The file's bytes, read in 8 KiB pieces. Opening fails as Io; a read that
// fails part-way is a failure of the JSON reader and so Json.
Result<std::string> read_manifest_text(const std::filesystem::path& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return ModuleError::io_errno(errno);
  std::string text;
  char piece[8 * 1024];
  for (;;) {
    ssize_t got = ::read(fd, piece, sizeof piece);
    if (got < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return ModuleError::json(os_error_text(err));
    }
    if (got == 0) break;
    text.append(piece, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return text;
}

}  // namespace

Result<Manifest> parse_manifest_text(std::string_view text) {
  Manifest manifest;
  manifest.format_version = 0;
  rapidjson::MemoryStream stream(text.data(), text.size());
  ManifestHandler handler(manifest, stream);
  rapidjson::Reader reader;
  // Numbers arrive as text and are converted by read_json_number (json_number.h).
  constexpr unsigned kFlags = rapidjson::kParseFullPrecisionFlag | rapidjson::kParseValidateEncodingFlag |
                              rapidjson::kParseNumbersAsStringsFlag;
  rapidjson::ParseResult parsed = reader.Parse<kFlags>(stream, handler);
  if (parsed.IsError()) return json_parse_failure(text, parsed.Code(), parsed.Offset(), handler.failure());
  // RapidJSON takes a NUL byte for the end of the input.
  if (stream.Tell() < text.size()) {
    return ModuleError::json(with_json_position("trailing characters", text, stream.Tell() + 1));
  }
  return manifest;
}

Result<Manifest> read_manifest_file(const std::filesystem::path& cache_dir) {
  std::filesystem::path path = cache_dir / "manifest.json";
  if (!path_exists(path)) return ModuleError::invalid_cache("missing manifest: " + path_text(path));
  BRV_ASSIGN_OR_RETURN(std::string text, read_manifest_text(path));
  BRV_ASSIGN_OR_RETURN(Manifest manifest, parse_manifest_text(text));
  if (manifest.format_version != kFormatVersion) {
    return ModuleError::invalid_cache("unsupported format version " + std::to_string(manifest.format_version));
  }
  return manifest;
}

}  // namespace brivane
