#pragma once
// Byte strings of the cipher and the wiping of secrets held in them.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include <openssl/crypto.h>

namespace zv {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// The bytes of a text as they are (texts are UTF-8 already).
inline ByteView AsBytes(std::string_view Text) {
    return {reinterpret_cast<const std::uint8_t*>(Text.data()), Text.size()};
}

// Overwrites Secret when it leaves scope, on every path, so keys and clear
// text do not linger in freed memory.
class WipeOnExit {
  public:
    explicit WipeOnExit(Bytes& Secret) : secret_(Secret) {}
    ~WipeOnExit() { OPENSSL_cleanse(secret_.data(), secret_.size()); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

  private:
    Bytes& secret_;
};

}  // namespace zv
