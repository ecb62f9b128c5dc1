#pragma once
// OpenSSL objects owned by std::unique_ptr with their own free functions.
#include <memory>

#include <openssl/evp.h>

namespace zv {

template <auto Free>
struct OsslFree {
    template <typename T>
    void operator()(T* Object) const noexcept {
        Free(Object);
    }
};

using EvpMdPtr = std::unique_ptr<EVP_MD, OsslFree<EVP_MD_free>>;
using EvpCipherPtr = std::unique_ptr<EVP_CIPHER, OsslFree<EVP_CIPHER_free>>;
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, OsslFree<EVP_CIPHER_CTX_free>>;
using EvpMacPtr = std::unique_ptr<EVP_MAC, OsslFree<EVP_MAC_free>>;
using EvpMacCtxPtr = std::unique_ptr<EVP_MAC_CTX, OsslFree<EVP_MAC_CTX_free>>;

}  // namespace zv
