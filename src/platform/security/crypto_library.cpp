#include "platform/security/crypto_library.h"

#include <openssl/crypto.h>

namespace lv {

bool keepCryptoLibraryForProcess() {
    // The first set-up decides whether OpenSSL registers its clean-up with atexit; asked without it, a
    // worker still using OpenSSL while the main thread exits never meets a library being torn down.
    // Only the base set-up runs here (no configuration file, no providers): the first real use loads
    // those, as before.
    static const bool kept = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
    return kept;
}

}  // namespace lv
