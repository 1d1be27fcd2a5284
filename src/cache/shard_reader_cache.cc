#include "cache/shard_reader_cache.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <limits>

namespace brivane {

namespace {

std::string collapse_separators(const std::filesystem::path& path) {
  const std::string& text = path.native();
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out.push_back(c);
  }
  return out;
}

std::uint64_t path_hash(std::string_view path) { return std::hash<std::string_view>{}(path); }

}  // namespace

ShardFile ShardFile::at(const std::filesystem::path& path) {
  ShardFile file;
  file.path = collapse_separators(path);
  file.hash = path_hash(file.path);
  return file;
}

ShardReaderCache::~ShardReaderCache() {
  for (std::size_t i = 0; i < count_; ++i) ::close(slots_[i].fd);
}

bool ShardReaderCache::contains(std::string_view path) const {
  for (std::size_t i = 0; i < count_; ++i) {
    if (slots_[i].path == path) return true;
  }
  return false;
}

Result<int> ShardReaderCache::descriptor_for(const ShardFile& file) {
  const Slot& last = slots_[last_hit_];
  if (last.fd >= 0 && last.hash == file.hash && last.path == file.path) return last.fd;
  for (std::size_t i = 0; i < count_; ++i) {
    const Slot& slot = slots_[i];
    if (slot.hash == file.hash && slot.path == file.path) {
      last_hit_ = i;
      return slot.fd;
    }
  }

  int fd;
  do {
    fd = ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return ModuleError::io_errno(errno);
  ++opened_files_;

  std::size_t index;
  if (count_ < kLimit) {
    index = count_++;
  } else {
    index = oldest_;
    oldest_ = (oldest_ + 1) % kLimit;
    ::close(slots_[index].fd);
  }
  Slot& slot = slots_[index];
  slot.path = file.path;
  slot.hash = file.hash;
  slot.fd = fd;
  last_hit_ = index;
  return fd;
}

Status ShardReaderCache::read_exact(const ShardFile& file, std::uint64_t offset, std::uint8_t* out,
                                    std::size_t n) {
  BRV_ASSIGN_OR_RETURN(int fd, descriptor_for(file));
  while (n > 0) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
      return ModuleError::io_errno(EINVAL);
    }
    ssize_t got = ::pread(fd, out, n, static_cast<off_t>(offset));
    if (got < 0) {
      if (errno == EINTR) continue;
      return ModuleError::io_errno(errno);
    }
    if (got == 0) return ModuleError::io("failed to fill whole buffer");
    out += got;
    n -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return ok_status();
}

ShardReaderCache& this_thread_reader_cache() {
  thread_local ShardReaderCache cache;
  return cache;
}

}  // namespace brivane
