#include "cache/open_cache.h"

#include <sys/stat.h>

#include <cerrno>
#include <limits>
#include <string>
#include <string_view>

#include "cache/file_io.h"
#include "cache/metadata_table.h"
#include "cache/sha256.h"

namespace brivane {

namespace {

namespace fs = std::filesystem;

// Size of the file at `path`, following links.
Result<std::uint64_t> stat_size(const fs::path& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return ModuleError::io_errno(errno);
  return static_cast<std::uint64_t>(st.st_size);
}

Status check_digest(const fs::path& path, const std::string& expected) {
  BRV_ASSIGN_OR_RETURN(std::string digest, sha256_file(path));
  if (digest != expected) return ModuleError::invalid_cache("checksum mismatch for " + path_text(path));
  return ok_status();
}

// A shard name must name a file directly inside shards/: joined unchecked, an
// absolute name or one with ".." would let a manifest point reads anywhere.
// A NUL byte would silently cut the name short when opening.
bool is_plain_file_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

}  // namespace

Result<std::shared_ptr<OpenedCache>> open_cache(const fs::path& dir, bool validate) {
  auto cache = std::make_shared<OpenedCache>();
  cache->dir = dir;
  cache->validate = validate;
  BRV_ASSIGN_OR_RETURN(cache->manifest, read_manifest_file(dir));
  const Manifest& manifest = cache->manifest;

  const fs::path metadata_path = dir / "metadata.arrow";
  const fs::path index_path = dir / "index.bin";
  if (validate) {
    BRV_TRY(check_digest(metadata_path, manifest.metadata_sha256));
    BRV_TRY(check_digest(index_path, manifest.index_sha256));
  }

  const fs::path shards_dir = dir / "shards";
  cache->shard_files.reserve(manifest.shards.size());
  for (const ShardManifest& shard : manifest.shards) {
    if (!is_plain_file_name(shard.name)) {
      return ModuleError::invalid_cache("invalid shard name '" + shard.name + "'");
    }
    const fs::path path = shards_dir / shard.name;
    BRV_ASSIGN_OR_RETURN(std::uint64_t size, stat_size(path));
    if (size != shard.byte_len) {
      return ModuleError::invalid_cache("shard length mismatch for " + path_text(path));
    }
    if (validate) BRV_TRY(check_digest(path, shard.sha256));
    cache->shard_files.push_back(ShardFile::at(path));
  }

  BRV_ASSIGN_OR_RETURN(std::vector<std::uint8_t> index_bytes, read_whole_file(index_path));
  if (index_bytes.size() % kIndexRowSize != 0) {
    return ModuleError::invalid_cache("index length is not divisible by row size");
  }
  const std::size_t row_count = index_bytes.size() / kIndexRowSize;
  cache->index.reserve(row_count);
  for (std::size_t i = 0; i < row_count; ++i) {
    cache->index.push_back(decode_index_row(index_bytes.data() + i * kIndexRowSize));
  }

  if (validate) {
    BRV_ASSIGN_OR_RETURN(cache->rows, read_metadata_table(metadata_path, manifest.metadata_schema));
    if (cache->rows->size() != manifest.sample_count) {
      return ModuleError::invalid_cache("metadata row count does not match manifest");
    }
  } else {
    BRV_TRY(stat_size(metadata_path));
  }

  if (cache->index.size() != manifest.sample_count) {
    return ModuleError::invalid_cache("index row count does not match manifest");
  }

  const std::size_t shard_count = manifest.shards.size();
  for (std::size_t i = 0; i < cache->index.size(); ++i) {
    const IndexRow& row = cache->index[i];
    if (row.shard_id >= shard_count) {
      return ModuleError::invalid_cache("index references missing shard " + std::to_string(row.shard_id));
    }
    // Checked here so that no read ever sizes a buffer from a length the
    // shard cannot hold.
    const std::uint64_t byte_len = manifest.shards[row.shard_id].byte_len;
    if (row.offset > byte_len || row.length > byte_len - row.offset) {
      return ModuleError::invalid_cache("index row " + std::to_string(i) + " lies outside shard " +
                                        std::to_string(row.shard_id));
    }
  }
  return cache;
}

}  // namespace brivane
