// Owning handles for the OpenSSL objects the provider endpoint, its tokens and its
// certificates use, so that each is freed exactly once on every path.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

#include "platform/foundation/Handle.h"

namespace corvanta {

using BIOHandle = std::unique_ptr<BIO, FreeWith<BIO_free>>;
using KeyHandle = std::unique_ptr<EVP_PKEY, FreeWith<EVP_PKEY_free>>;
using X509Handle = std::unique_ptr<X509, FreeWith<X509_free>>;
using X509ExtensionHandle = std::unique_ptr<X509_EXTENSION, FreeWith<X509_EXTENSION_free>>;
using BignumHandle = std::unique_ptr<BIGNUM, FreeWith<BN_free>>;
using TLSContextHandle = std::unique_ptr<SSL_CTX, FreeWith<SSL_CTX_free>>;

// The first error on this thread's OpenSSL error queue as text ("unknown error" when there is
// none); the queue is left empty, so that a later failure is not blamed on this one.
inline std::string openSSLError() {
  char text[256] = "unknown error";
  if (const unsigned long code = ERR_get_error()) ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

// A passphrase callback that refuses, so that reading an encrypted key fails rather than
// prompting on the terminal.
inline int refusePassphrase(char*, int, int, void*) {
  return 0;
}

// The private key or the certificate in a PEM file; nullptr when the file cannot be read or
// holds none (an encrypted key included).
inline KeyHandle readPrivateKeyPEM(const std::string& path) {
  const BIOHandle file(BIO_new_file(path.c_str(), "r"));
  return KeyHandle(file ? PEM_read_bio_PrivateKey(file.get(), nullptr, refusePassphrase, nullptr)
                        : nullptr);
}
inline X509Handle readCertificatePEM(const std::string& path) {
  const BIOHandle file(BIO_new_file(path.c_str(), "r"));
  return X509Handle(file ? PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr) : nullptr);
}

}  // namespace corvanta
