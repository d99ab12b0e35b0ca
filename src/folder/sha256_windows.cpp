#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include "folder/sha256.h"

namespace fmskins {

struct Sha256State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool failed = false;
};

void Sha256Release::operator()(Sha256State* state) const noexcept {
  if (state->hash != nullptr) {
    (void)BCryptDestroyHash(state->hash);
  }
  if (state->algorithm != nullptr) {
    (void)BCryptCloseAlgorithmProvider(state->algorithm, 0);
  }
  delete state;
}

Sha256 start_sha256() {
  Sha256 digest(new Sha256State);
  if (!BCRYPT_SUCCESS(
          BCryptOpenAlgorithmProvider(&digest->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
      !BCRYPT_SUCCESS(
          BCryptCreateHash(digest->algorithm, &digest->hash, nullptr, 0, nullptr, 0, 0))) {
    return nullptr;
  }
  return digest;
}

void add_to_sha256(Sha256& digest, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty() && !digest->failed) {
    const ULONG count = bytes.size() > 0x40000000U ? 0x40000000U : static_cast<ULONG>(bytes.size());
    digest->failed =
        !BCRYPT_SUCCESS(BCryptHashData(digest->hash, const_cast<PUCHAR>(bytes.data()), count, 0));
    bytes = bytes.subspan(count);
  }
}

std::string finish_sha256(Sha256& digest) {
  unsigned char value[32];
  if (digest->failed || !BCRYPT_SUCCESS(BCryptFinishHash(digest->hash, value, sizeof value, 0))) {
    return {};
  }
  std::string hex;
  for (const unsigned char byte : value) {
    hex += "0123456789abcdef"[byte >> 4U];
    hex += "0123456789abcdef"[byte & 0xFU];
  }
  return hex;
}

}  // namespace fmskins
