#pragma once
// A throw-away TLS identity for the collector when no certificate is given.

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace collector {

struct X509Deleter {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct PkeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

struct TlsIdentity {
  std::unique_ptr<X509, X509Deleter> certificate;
  std::unique_ptr<EVP_PKEY, PkeyDeleter> key;
};

// A P-256 key and a self-signed certificate for commonName, valid from an hour
// ago for ten years. Throws std::runtime_error when OpenSSL fails.
TlsIdentity MakeSelfSignedIdentity(const std::string& commonName);

}  // namespace collector
