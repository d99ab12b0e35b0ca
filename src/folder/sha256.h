#pragma once

// SHA-256 from the system's own library: OpenSSL's libcrypto on POSIX systems, BCrypt on
// Windows.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace fmskins {

struct Sha256State;
struct Sha256Release {
  void operator()(Sha256State* state) const noexcept;
};
using Sha256 = std::unique_ptr<Sha256State, Sha256Release>;

// A new digest; empty when the library could not make one.
Sha256 start_sha256();
void add_to_sha256(Sha256& digest, std::span<const std::uint8_t> bytes);
// The digest in lower-case hex, 64 digits; empty when the library failed.
std::string finish_sha256(Sha256& digest);

}  // namespace fmskins
