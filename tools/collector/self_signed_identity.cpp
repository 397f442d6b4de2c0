#include "collector/self_signed_identity.h"

#include <openssl/bn.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace collector {

TlsIdentity MakeSelfSignedIdentity(const std::string& commonName) {
  TlsIdentity identity;
  identity.key.reset(EVP_EC_gen("P-256"));
  if (!identity.key) throw std::runtime_error("cannot make a TLS key");

  identity.certificate.reset(X509_new());
  X509* cert = identity.certificate.get();
  if (!cert) throw std::runtime_error("cannot make a certificate");

  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof(serial)) != 1) throw std::runtime_error("no random serial number");
  serial[0] &= 0x7F;  // a positive serial number
  BIGNUM* serialNumber = BN_bin2bn(serial, sizeof(serial), nullptr);
  const bool serialSet = serialNumber && BN_to_ASN1_INTEGER(serialNumber, X509_get_serialNumber(cert));
  BN_free(serialNumber);

  X509_NAME* name = X509_get_subject_name(cert);
  const bool ok =
      serialSet && X509_set_version(cert, 2) == 1 &&
      X509_gmtime_adj(X509_getm_notBefore(cert), -3600) != nullptr &&
      X509_gmtime_adj(X509_getm_notAfter(cert), 10L * 365 * 24 * 3600) != nullptr &&
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) == 1 &&
      X509_set_issuer_name(cert, name) == 1 && X509_set_pubkey(cert, identity.key.get()) == 1 &&
      X509_sign(cert, identity.key.get(), EVP_sha256()) > 0;
  if (!ok) throw std::runtime_error("cannot make a self-signed certificate");
  return identity;
}

}  // namespace collector
