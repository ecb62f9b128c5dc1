#include "cipher/prepared_key.h"

#include <openssl/crypto.h>

#include "cipher/engine.h"
#include "cipher/pbkdf2.h"
#include "cipher/random.h"

namespace zv {

PreparedKey::PreparedKey(PreparedKey&& Other) noexcept
    : salt_(Other.salt_), material_(Other.material_), ready_(Other.ready_) {
    Other.clear();
}

PreparedKey& PreparedKey::operator=(PreparedKey&& Other) noexcept {
    if (this != &Other) {
        salt_ = Other.salt_;
        material_ = Other.material_;
        ready_ = Other.ready_;
        Other.clear();
    }
    return *this;
}

void PreparedKey::clear() noexcept {
    OPENSSL_cleanse(salt_.data(), salt_.size());
    OPENSSL_cleanse(material_.data(), material_.size());
    ready_ = false;
}

bool PreparedKey::Prepare(ByteView PassPhrase, PreparedKey& Out, const std::atomic<bool>* Cancel) {
    Out.clear();
    std::string ErrorText;
    if (!SystemRandom(Out.salt_, ErrorText) ||
        !Pbkdf2Sha512(PassPhrase, Out.salt_, kPbkdf2Iterations, Out.material_, Cancel)) {
        Out.clear();
        return false;
    }
    Out.ready_ = true;
    return true;
}

}  // namespace zv
