#include "support/ProviderTokens.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/pem.h>

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "platform/extension_host/intake/OpenSSLHandles.h"
#include "platform/foundation/Base64.h"

namespace corvanta::testing {
namespace {

void require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(what);
}

std::string memoryText(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(length));
}

}  // namespace

ProviderSigningKey::ProviderSigningKey()
    : _key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")) {
  require(_key != nullptr, "cannot make an EC P-256 key");
}

std::string ProviderSigningKey::pkcs8PEM() const {
  BIOHandle out(BIO_new(BIO_s_mem()));
  require(out && PEM_write_bio_PrivateKey(out.get(), _key.get(), nullptr, nullptr, 0, nullptr,
                                          nullptr) == 1,
          "cannot write the key");
  return memoryText(out.get());
}

std::string ProviderSigningKey::publicKeyPEM() const {
  BIOHandle out(BIO_new(BIO_s_mem()));
  require(out && PEM_write_bio_PUBKEY(out.get(), _key.get()) == 1, "cannot write the public key");
  return memoryText(out.get());
}

std::string ProviderSigningKey::sign(std::string_view signingInput) const {
  std::unique_ptr<EVP_MD_CTX, FreeWith<EVP_MD_CTX_free>> context(EVP_MD_CTX_new());
  require(
      context && EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, _key.get()) == 1,
      "cannot start signing");
  std::size_t length = 0;
  const auto* input = reinterpret_cast<const unsigned char*>(signingInput.data());
  require(EVP_DigestSign(context.get(), nullptr, &length, input, signingInput.size()) == 1,
          "cannot size the signature");
  std::string der(length, '\0');
  auto* derBytes = reinterpret_cast<unsigned char*>(der.data());
  require(EVP_DigestSign(context.get(), derBytes, &length, input, signingInput.size()) == 1,
          "cannot sign");
  const auto* cursor = static_cast<const unsigned char*>(derBytes);
  std::unique_ptr<ECDSA_SIG, FreeWith<ECDSA_SIG_free>> signature(
      d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(length)));
  require(signature != nullptr, "cannot read the signature");
  std::string raw(64, '\0');
  auto* rawBytes = reinterpret_cast<unsigned char*>(raw.data());
  require(BN_bn2binpad(ECDSA_SIG_get0_r(signature.get()), rawBytes, 32) == 32 &&
              BN_bn2binpad(ECDSA_SIG_get0_s(signature.get()), rawBytes + 32, 32) == 32,
          "cannot lay out r||s");
  return raw;
}

std::string ProviderSigningKey::token(const std::string& keyId, const std::string& teamId,
                                      std::int64_t iat) const {
  const std::string header = nlohmann::json{{"alg", "ES256"}, {"kid", keyId}}.dump();
  const std::string claims = nlohmann::json{{"iss", teamId}, {"iat", iat}}.dump();
  const std::string signingInput = encodeBase64URL(header) + "." + encodeBase64URL(claims);
  return signingInput + "." + encodeBase64URL(sign(signingInput));
}

}  // namespace corvanta::testing
