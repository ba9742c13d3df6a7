#include "support/ProviderTokens.h"

#include <openssl/ec.h>

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "platform/foundation/Base64.h"

namespace corvanta::testing {
namespace {

void require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(what);
}

template <class Write>
std::string pem(Write write) {
  const BIOHandle out(BIO_new(BIO_s_mem()));
  require(out && write(out.get()) == 1, "cannot write PEM");
  char* data = nullptr;
  const long length = BIO_get_mem_data(out.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

}  // namespace

ProviderSigningKey::ProviderSigningKey(const char* curve)
    : _key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve)) {
  require(_key != nullptr, "cannot make an EC key");
}

std::string ProviderSigningKey::pkcs8PEM() const {
  return pem([&](BIO* out) {
    return PEM_write_bio_PrivateKey(out, _key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
}

std::string ProviderSigningKey::publicKeyPEM() const {
  return pem([&](BIO* out) { return PEM_write_bio_PUBKEY(out, _key.get()); });
}

std::string ProviderSigningKey::sign(std::string_view header, std::string_view claims) const {
  const std::string input = encodeBase64URL(header) + "." + encodeBase64URL(claims);
  std::unique_ptr<EVP_MD_CTX, FreeWith<EVP_MD_CTX_free>> context(EVP_MD_CTX_new());
  unsigned char der[128];
  std::size_t length = sizeof der;
  require(
      context &&
          EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, _key.get()) == 1 &&
          EVP_DigestSign(context.get(), der, &length,
                         reinterpret_cast<const unsigned char*>(input.data()), input.size()) == 1,
      "cannot sign");
  const unsigned char* cursor = der;
  const std::unique_ptr<ECDSA_SIG, FreeWith<ECDSA_SIG_free>> signature(
      d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(length)));
  std::string raw(64, '\0');
  auto* bytes = reinterpret_cast<unsigned char*>(raw.data());
  require(signature && BN_bn2binpad(ECDSA_SIG_get0_r(signature.get()), bytes, 32) == 32 &&
              BN_bn2binpad(ECDSA_SIG_get0_s(signature.get()), bytes + 32, 32) == 32,
          "cannot lay out r||s");
  return input + "." + encodeBase64URL(raw);
}

std::string ProviderSigningKey::token(const std::string& keyId, const std::string& teamId,
                                      std::int64_t iat) const {
  return sign(nlohmann::json{{"alg", "ES256"}, {"kid", keyId}}.dump(),
              nlohmann::json{{"iss", teamId}, {"iat", iat}}.dump());
}

}  // namespace corvanta::testing
