#pragma once
// The salt and key material of one outgoing envelope, derived before the
// message exists: the salt of what we send is ours to choose.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "cipher/bytes.h"

namespace zv {

// Salt: 8 fresh random bytes. Material: PBKDF2-HMAC-SHA-512 of the pass phrase
// and the salt, 48 bytes (AES-256 key, then initial counter block). Move-only
// and good for one envelope: a move wipes the source and leaves it spent, and
// the destructor wipes what is left.
class PreparedKey {
  public:
    static constexpr std::size_t kSaltSize = 8;
    static constexpr std::size_t kMaterialSize = 48;

    PreparedKey() = default;  // spent: holds nothing
    PreparedKey(PreparedKey&& Other) noexcept;
    PreparedKey& operator=(PreparedKey&& Other) noexcept;
    PreparedKey(const PreparedKey&) = delete;
    PreparedKey& operator=(const PreparedKey&) = delete;
    ~PreparedKey() { clear(); }

    // Draws a salt from SystemRandom and derives the material under
    // PassPhrase; false (and a spent key) when either fails or Cancel is set.
    static bool Prepare(ByteView PassPhrase, PreparedKey& Out,
                        const std::atomic<bool>* Cancel = nullptr);
    // The same for several keys at once, side by side in vector lanes where
    // the CPU has them (eight take about as long as two one by one); false
    // when any of them failed (those that did not are ready all the same).
    static bool PrepareAll(ByteView PassPhrase, std::span<PreparedKey*> Out,
                           const std::atomic<bool>* Cancel = nullptr);

    bool ready() const { return ready_; }
    ByteView salt() const { return salt_; }
    ByteView material() const { return material_; }
    void clear() noexcept;  // wipes; the key is spent

  private:
    std::array<std::uint8_t, kSaltSize> salt_{};
    std::array<std::uint8_t, kMaterialSize> material_{};
    bool ready_ = false;
};

}  // namespace zv
