#include "intake/stack_digest.h"

// The one-shot MD5 call: no digest context to fetch and free per report,
// which is most of the cost of a short stack through the EVP interface.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

namespace Vextra {

std::string StackDigest(const std::string& stack) {
  unsigned char digest[MD5_DIGEST_LENGTH];
  MD5(reinterpret_cast<const unsigned char*>(stack.data()), stack.size(), digest);
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text(2 * MD5_DIGEST_LENGTH, '0');
  for (int i = 0; i < MD5_DIGEST_LENGTH; ++i) {
    text[2 * i] = kDigits[digest[i] >> 4];
    text[2 * i + 1] = kDigits[digest[i] & 15];
  }
  return text;
}

}  // namespace Vextra
