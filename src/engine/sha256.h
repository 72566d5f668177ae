// SHA-256 of a byte string, through OpenSSL's libcrypto.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorbin::engine {

using Sha256Digest = std::array<uint8_t, 32>;

// Empty only when libcrypto itself fails (it allocates a context).
[[nodiscard]] std::optional<Sha256Digest> sha256(std::string_view bytes);

// Lowercase hexadecimal, two digits per byte.
std::string to_hex(const Sha256Digest& digest);

}  // namespace quorbin::engine
