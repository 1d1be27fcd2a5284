// SHA-256 digests as 64 lowercase hexadecimal digits.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

#include "runtime/error.h"

struct evp_md_ctx_st;

namespace brivane {

// An incremental SHA-256 digest. Movable, not copyable.
class Sha256 {
 public:
  Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;
  ~Sha256();

  void update(const void* data, std::size_t n);
  // Finishes the digest; the object starts over afterwards.
  std::string hex_digest();

 private:
  struct CtxFree {
    void operator()(evp_md_ctx_st* ctx) const;
  };
  std::unique_ptr<evp_md_ctx_st, CtxFree> ctx_;
};

// The digest of a whole file, read back in 64 KiB pieces. Open and read
// failures are Io.
Result<std::string> sha256_file(const std::filesystem::path& path);

}  // namespace brivane
