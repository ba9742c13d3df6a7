// Owning handles for the OpenSSL objects the provider endpoint, its tokens and its
// certificates use, so that each is freed exactly once on every path.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>

#include "platform/foundation/Handle.h"

namespace corvanta {

using BIOHandle = std::unique_ptr<BIO, FreeWith<BIO_free>>;
using KeyHandle = std::unique_ptr<EVP_PKEY, FreeWith<EVP_PKEY_free>>;
using X509Handle = std::unique_ptr<X509, FreeWith<X509_free>>;
using X509ExtensionHandle = std::unique_ptr<X509_EXTENSION, FreeWith<X509_EXTENSION_free>>;
using BignumHandle = std::unique_ptr<BIGNUM, FreeWith<BN_free>>;
using TLSContextHandle = std::unique_ptr<SSL_CTX, FreeWith<SSL_CTX_free>>;

}  // namespace corvanta
