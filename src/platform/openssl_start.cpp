#include "platform/openssl_start.h"

#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include <mutex>

namespace Vextra::platform {

void StartOpenSsl() {
  static std::once_flag once;
  std::call_once(once, [] {
    OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                     nullptr);
  });
}

}  // namespace Vextra::platform
