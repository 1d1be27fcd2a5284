// Plain file access shared by the cache writer and reader: buffered writing,
// whole-file reads and the text form of paths used in messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "runtime/error.h"

namespace brivane {

// Writes a file through a buffer (8 KiB unless asked otherwise). The file is created (or truncated)
// with permission bits 0666 before the umask. Nothing is ever synced to stable
// storage. The destructor closes the file without reporting failures; call
// close() to learn whether the last bytes reached the file.
class BufferedFileWriter {
 public:
  static constexpr std::size_t kBufferSize = 8 * 1024;
  // Writes of this size or more (or of the buffer's size) bypass the buffer.
  static constexpr std::size_t kDirectWriteSize = 64 * 1024;

  static Result<BufferedFileWriter> create(const std::filesystem::path& path, std::size_t buffer_size = kBufferSize);

  BufferedFileWriter(BufferedFileWriter&& other) noexcept;
  BufferedFileWriter& operator=(BufferedFileWriter&& other) noexcept;
  BufferedFileWriter(const BufferedFileWriter&) = delete;
  BufferedFileWriter& operator=(const BufferedFileWriter&) = delete;
  ~BufferedFileWriter();

  // Large writes go straight to the file, after the buffered bytes.
  Status write(const void* data, std::size_t n);
  // Hands the buffered bytes to the operating system.
  Status flush();
  // flush() then close the file; the writer is unusable afterwards.
  Status close();

  bool is_open() const { return fd_ >= 0; }

 private:
  BufferedFileWriter(int fd, std::size_t buffer_size);
  Status write_all(const std::uint8_t* data, std::size_t n);

  int fd_ = -1;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
};

// The whole content of a file. Open and read failures are Io.
Result<std::vector<std::uint8_t>> read_whole_file(const std::filesystem::path& path);

// The path's bytes as UTF-8, each invalid sequence replaced by U+FFFD.
std::string path_text(const std::filesystem::path& path);

// Whether stat() (following symbolic links) succeeds for the path.
bool path_exists(const std::filesystem::path& path);

}  // namespace brivane
