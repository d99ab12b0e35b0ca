#include <openssl/evp.h>

#include "folder/sha256.h"

namespace fmskins {

struct Sha256State {
  EVP_MD_CTX* context = nullptr;
  bool failed = false;
};

void Sha256Release::operator()(Sha256State* state) const noexcept {
  EVP_MD_CTX_free(state->context);
  delete state;
}

Sha256 start_sha256() {
  Sha256 digest(new Sha256State);
  digest->context = EVP_MD_CTX_new();
  if (digest->context == nullptr ||
      EVP_DigestInit_ex(digest->context, EVP_sha256(), nullptr) != 1) {
    return nullptr;
  }
  return digest;
}

void add_to_sha256(Sha256& digest, std::span<const std::uint8_t> bytes) {
  if (!digest->failed && !bytes.empty()) {
    digest->failed = EVP_DigestUpdate(digest->context, bytes.data(), bytes.size()) != 1;
  }
}

std::string finish_sha256(Sha256& digest) {
  unsigned char value[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (digest->failed || EVP_DigestFinal_ex(digest->context, value, &length) != 1 || length != 32) {
    return {};
  }
  std::string hex;
  for (unsigned int at = 0; at < length; ++at) {
    hex += "0123456789abcdef"[value[at] >> 4U];
    hex += "0123456789abcdef"[value[at] & 0xFU];
  }
  return hex;
}

}  // namespace fmskins
