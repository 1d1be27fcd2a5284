// One sample pulled from a source, in native form. Moved through the write
// pipeline, never copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "cache/metadata_value.h"

namespace brivane {

// An owned byte string allocated without zero-filling: the payload is copied
// in exactly once, straight from the Python buffer.
class SampleBytes {
 public:
  SampleBytes() = default;
  explicit SampleBytes(std::size_t n) : data_(n ? std::make_unique_for_overwrite<std::uint8_t[]>(n) : nullptr), size_(n) {}
  SampleBytes(SampleBytes&& other) noexcept : data_(std::move(other.data_)), size_(other.size_) { other.size_ = 0; }
  SampleBytes& operator=(SampleBytes&& other) noexcept {
    data_ = std::move(other.data_);
    size_ = other.size_;
    other.size_ = 0;
    return *this;
  }

  std::uint8_t* data() { return data_.get(); }
  const std::uint8_t* data() const { return data_.get(); }
  std::size_t size() const { return size_; }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t size_ = 0;
};

struct SampleInput {
  SampleBytes data;
  SampleMetadata metadata;  // ordered by key bytes
};

}  // namespace brivane
