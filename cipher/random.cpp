#include "cipher/random.h"

#include <climits>

#include <openssl/err.h>
#include <openssl/rand.h>

#include "cipher/engine.h"

namespace zv {

bool SystemRandom(std::span<std::uint8_t> Out, std::string& ErrorText) {
    ERR_clear_error();
    if (Out.size() > INT_MAX || RAND_bytes(Out.data(), static_cast<int>(Out.size())) != 1) {
        const unsigned long Code = ERR_get_error();
        ERR_clear_error();
        ErrorText = "Random source failed: " + StatusText(Code);
        return false;
    }
    return true;
}

}  // namespace zv
