#include "engine/sha256.h"

#include <openssl/evp.h>

namespace quorbin::engine {

std::optional<Sha256Digest> sha256(std::string_view bytes) {
  Sha256Digest digest{};
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1 ||
      size != digest.size())
    return std::nullopt;
  return digest;
}

std::string to_hex(const Sha256Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(digest.size() * 2);
  for (uint8_t byte : digest) {
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0xf]);
  }
  return out;
}

}  // namespace quorbin::engine
