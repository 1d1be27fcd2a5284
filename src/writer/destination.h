// Where a source's cache goes: the choice made before its samples are pulled
// (reuse, refusal or a fresh staging directory), the publishing rename and the
// removal of half-written output.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <variant>

#include "runtime/error.h"
#include "writer/source_result.h"

namespace brivane {

// `left` + "/" + `part`, with no separator added after an empty `left` or one
// that already ends in "/".
std::string join_path(std::string_view left, std::string_view part);

// The source is to be written: into `staging`, then renamed to `destination`.
struct StagedDestination {
  std::filesystem::path destination;
  std::filesystem::path staging;
};

// Either the paths to write anew, or the source's result decided already
// (reused, refused, failed validation or an unremovable stale staging dir).
using DestinationPlan = std::variant<StagedDestination, SourceResult>;

DestinationPlan prepare_destination(std::string_view base_cache_dir, const std::string& name, bool reuse_existing,
                                    bool validate_cache);

// One rename of the finished staging directory onto the destination.
Status publish_cache(const std::filesystem::path& staging, const std::filesystem::path& destination);

// Removes the staging directory recursively when it exists (a symbolic link
// is removed itself). Io on failure.
Status remove_staging(const std::filesystem::path& staging);

// The failure text of a source whose staging directory was (or failed to be)
// removed: list mode keeps the failure and appends the clean-up error.
std::string with_cleanup_note(std::string failure, const Status& cleanup);

}  // namespace brivane
