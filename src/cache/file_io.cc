#include "cache/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace brivane {

namespace {

int open_retrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

Result<BufferedFileWriter> BufferedFileWriter::create(const std::filesystem::path& path, std::size_t buffer_size) {
  int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return ModuleError::io_errno(errno);
  return BufferedFileWriter(fd, std::max<std::size_t>(buffer_size, 1));
}

BufferedFileWriter::BufferedFileWriter(int fd, std::size_t buffer_size)
    : fd_(fd), buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(buffer_size)), capacity_(buffer_size) {}

BufferedFileWriter::BufferedFileWriter(BufferedFileWriter&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      buffer_(std::move(other.buffer_)),
      capacity_(other.capacity_),
      used_(std::exchange(other.used_, 0)) {}

BufferedFileWriter& BufferedFileWriter::operator=(BufferedFileWriter&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) (void)close();
    fd_ = std::exchange(other.fd_, -1);
    buffer_ = std::move(other.buffer_);
    capacity_ = other.capacity_;
    used_ = std::exchange(other.used_, 0);
  }
  return *this;
}

BufferedFileWriter::~BufferedFileWriter() {
  if (fd_ >= 0) (void)close();
}

Status BufferedFileWriter::write_all(const std::uint8_t* data, std::size_t n) {
  while (n > 0) {
    ssize_t written = ::write(fd_, data, n);
    if (written < 0) {
      if (errno == EINTR) continue;
      return ModuleError::io_errno(errno);
    }
    if (written == 0) return ModuleError::io("failed to write whole buffer");
    data += written;
    n -= static_cast<std::size_t>(written);
  }
  return ok_status();
}

Status BufferedFileWriter::write(const void* data, std::size_t n) {
  if (fd_ < 0) return ModuleError::io_errno(EBADF);
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  // A large write goes straight to the file: copying it through the buffer
  // first only costs a pass over memory.
  const bool direct = n >= std::min(capacity_, kDirectWriteSize);
  if (!direct && n <= capacity_ - used_) {
    if (n > 0) std::memcpy(buffer_.get() + used_, bytes, n);
    used_ += n;
    return ok_status();
  }
  BRV_TRY(flush());
  if (direct) return write_all(bytes, n);
  std::memcpy(buffer_.get(), bytes, n);
  used_ = n;
  return ok_status();
}

Status BufferedFileWriter::flush() {
  if (fd_ < 0) return ModuleError::io_errno(EBADF);
  std::size_t n = std::exchange(used_, 0);
  return write_all(buffer_.get(), n);
}

Status BufferedFileWriter::close() {
  if (fd_ < 0) return ModuleError::io_errno(EBADF);
  Status flushed = flush();
  int fd = std::exchange(fd_, -1);
  // Linux releases the descriptor even when close() reports EINTR: never retry.
  if (::close(fd) != 0 && flushed.ok() && errno != EINTR) return ModuleError::io_errno(errno);
  return flushed;
}

Result<std::vector<std::uint8_t>> read_whole_file(const std::filesystem::path& path) {
  int fd = open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return ModuleError::io_errno(errno);
  std::vector<std::uint8_t> out;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_size > 0) out.reserve(static_cast<std::size_t>(st.st_size));
  std::uint8_t chunk[64 * 1024];
  for (;;) {
    ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return ModuleError::io_errno(err);
    }
    if (got == 0) break;
    out.insert(out.end(), chunk, chunk + got);
  }
  ::close(fd);
  return out;
}

namespace {

void append_replacement(std::string& out) { out += "\xEF\xBF\xBD"; }

}  // namespace

std::string path_text(const std::filesystem::path& path) {
  const std::string& s = path.native();
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      out += static_cast<char>(b);
      ++i;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      if (b == 0xE0) lo = 0xA0;  // no overlong forms
      if (b == 0xED) hi = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      append_replacement(out);
      ++i;
      continue;
    }
    // Replace the longest valid prefix of a broken sequence by one U+FFFD.
    std::size_t k = 1;
    for (; k < len && i + k < s.size(); ++k) {
      auto c = static_cast<unsigned char>(s[i + k]);
      unsigned char min = k == 1 ? lo : 0x80, max = k == 1 ? hi : 0xBF;
      if (c < min || c > max) break;
    }
    if (k == len) {
      out.append(s, i, len);
    } else {
      append_replacement(out);
    }
    i += k;
  }
  return out;
}

bool path_exists(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace brivane
