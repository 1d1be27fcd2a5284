#include "writer/destination.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "cache/file_io.h"
#include "cache/open_cache.h"

namespace brivane {

std::string join_path(std::string_view left, std::string_view part) {
  std::string out;
  out.reserve(left.size() + 1 + part.size());
  out.append(left);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(part);
  return out;
}

namespace {
// The directory a path names, without the trailing "/" and "/." that a
// source name may carry: rename(2) and rmdir(2) refuse a last component ".".
std::filesystem::path named_directory(const std::filesystem::path& path) {
  std::string text = path.native();
  for (;;) {
    if (text.size() > 1 && text.back() == '/') {
      text.pop_back();
    } else if (text.size() > 2 && text.ends_with("/.")) {
      text.resize(text.size() - 2);
    } else {
      break;
    }
  }
  return text;
}
}  // namespace

DestinationPlan prepare_destination(std::string_view base_cache_dir, const std::string& name, bool reuse_existing,
                                    bool validate_cache) {
  std::filesystem::path destination = join_path(base_cache_dir, name);
  if (reuse_existing && path_exists(destination)) {
    if (validate_cache) {
      auto opened = open_cache(destination, true);
      if (!opened.ok()) return SourceResult::failed(name, opened.error().text());
    }
    return SourceResult::succeeded(name, path_text(destination));
  }
  std::filesystem::path staging = join_path(join_path(base_cache_dir, "tmp"), name);
  if (path_exists(destination)) {
    return SourceResult::failed(name, "cache path already exists: " + path_text(destination));
  }
  if (Status removed = remove_staging(staging); !removed.ok()) {
    return SourceResult::failed(name, removed.error().text());
  }
  return StagedDestination{std::move(destination), std::move(staging)};
}

Status publish_cache(const std::filesystem::path& staging, const std::filesystem::path& destination) {
  if (std::rename(named_directory(staging).c_str(), named_directory(destination).c_str()) != 0) {
    return ModuleError::io_errno(errno);
  }
  return ok_status();
}

Status remove_staging(const std::filesystem::path& staging) {
  if (!path_exists(staging)) return ok_status();
  std::error_code ec;
  std::filesystem::remove_all(named_directory(staging), ec);
  if (ec) return ModuleError::io_errno(ec.value());
  return ok_status();
}

std::string with_cleanup_note(std::string failure, const Status& cleanup) {
  if (cleanup.ok()) return failure;
  failure += "; cleanup failed: ";
  failure += cleanup.error().text();
  return failure;
}

}  // namespace brivane
