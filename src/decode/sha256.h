// Incremental SHA-256 (OpenSSL libcrypto) rendered as lower-case hex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct evp_md_ctx_st;

namespace dh {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(const uint8_t* data, size_t len);
  // 64 lower-case hex digits; the object must not be updated afterwards.
  std::string finish_hex();

 private:
  evp_md_ctx_st* ctx_;
};

}  // namespace dh
