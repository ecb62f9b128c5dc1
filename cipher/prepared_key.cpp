#include "cipher/prepared_key.h"

#include <openssl/crypto.h>

#include "cipher/engine.h"
#include "cipher/pbkdf2.h"
#include "cipher/random.h"

#include <vector>

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

bool PreparedKey::PrepareAll(ByteView PassPhrase, std::span<PreparedKey*> Out,
                             const std::atomic<bool>* Cancel) {
    std::vector<Pbkdf2Job> Jobs;
    Jobs.reserve(Out.size());
    std::string ErrorText;
    bool Ok = true;
    for (PreparedKey* Key : Out) {
        Key->clear();
        if (!SystemRandom(Key->salt_, ErrorText)) {
            Ok = false;
            continue;
        }
        Jobs.push_back({PassPhrase, Key->salt_, Key->material_, Cancel});
    }
    Pbkdf2Sha512Batch(Jobs, kPbkdf2Iterations, true);  // keys for later: others go first
    for (std::size_t i = 0, j = 0; i < Out.size(); ++i) {
        PreparedKey& Key = *Out[i];
        if (j < Jobs.size() && Jobs[j].out.data() == Key.material_.data()) {
            Key.ready_ = Jobs[j++].ok;
            Ok = Ok && Key.ready_;
        }
        if (!Key.ready_) Key.clear();
    }
    return Ok;
}

}  // namespace zv
