#include "db/record_digest.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "platform/file_system.h"
#include "platform/openssl_start.h"

namespace Vextra {
namespace {

constexpr size_t kReadPiece = 64 * 1024;

std::string UnknownDigest() { return std::string(32, 'A'); }

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

std::string CrashRecordDigest(const std::wstring& path) {
  std::unique_ptr<FILE, FileCloser> file(platform::OpenFile(path, "rb"));
  if (!file) return UnknownDigest();
  platform::StartOpenSsl();
  std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) return UnknownDigest();

  std::vector<unsigned char> piece(kReadPiece);
  size_t remaining = kRecordDigestBytes;
  while (remaining > 0) {
    const size_t got = std::fread(piece.data(), 1, std::min(remaining, piece.size()), file.get());
    if (got == 0) break;
    if (EVP_DigestUpdate(context.get(), piece.data(), got) != 1) return UnknownDigest();
    remaining -= got;
  }
  if (std::ferror(file.get())) return UnknownDigest();

  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1 || length != 16) return UnknownDigest();
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 0x0F]);
  }
  return text;
}

}  // namespace Vextra
