#include "cache/sha256.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace brivane {

void Sha256::CtxFree::operator()(evp_md_ctx_st* ctx) const { EVP_MD_CTX_free(ctx); }

namespace {

EVP_MD_CTX* new_sha256_ctx() {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  // Allocation failure of a few hundred bytes, or a crypto library without
  // SHA-256, leaves nothing sensible to continue with.
  if (ctx == nullptr || EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1) std::abort();
  return ctx;
}

}  // namespace

Sha256::Sha256() : ctx_(new_sha256_ctx()) {}
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;
Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t n) {
  if (n > 0) EVP_DigestUpdate(ctx_.get(), data, n);
}

std::string Sha256::hex_digest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx_.get(), digest, &len);
  EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(2 * len, '0');
  for (unsigned int i = 0; i < len; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0xF];
  }
  return out;
}

Result<std::string> sha256_file(const std::filesystem::path& path) {
  static constexpr std::size_t kPiece = 64 * 1024;
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return ModuleError::io_errno(errno);
  std::vector<std::uint8_t> piece(kPiece);
  Sha256 hash;
  for (;;) {
    ssize_t got = ::read(fd, piece.data(), piece.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return ModuleError::io_errno(err);
    }
    if (got == 0) break;
    if (static_cast<std::size_t>(got) > piece.size()) {
      ::close(fd);
      return ModuleError::invalid_cache("hash buffer read is out of range");
    }
    hash.update(piece.data(), static_cast<std::size_t>(got));
  }
  ::close(fd);
  return hash.hex_digest();
}

}  // namespace brivane
