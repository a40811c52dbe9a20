#include "decode/sha256.h"

#include <openssl/evp.h>

#include <cstdlib>

#include "base/text.h"

namespace dh {

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (ctx_ == nullptr || EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) != 1) std::abort();
}

Sha256::~Sha256() { EVP_MD_CTX_free(ctx_); }

void Sha256::update(const uint8_t* data, size_t len) {
  if (len > 0) EVP_DigestUpdate(ctx_, data, len);
}

std::string Sha256::finish_hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx_, digest, &len);
  return hex_encode(digest, len);
}

}  // namespace dh
