#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/extension_host/intake/EndpointCertificates.h"
#include "platform/extension_host/intake/OpenSSLHandles.h"
#include "support/ScratchDirectory.h"

namespace corvanta {
namespace {

namespace fs = std::filesystem;

// What a TLS client does with the server's certificate when told to trust only the CA (the
// chain, the purpose, the name or address it dialled), and whether the server could prove
// it holds the certificate's key. "" when the client would connect to `host`, a name or an
// address.
std::string clientVerdict(const EndpointCertificates& made, const std::string& host) {
  const X509Handle authority = readCertificatePEM(made.authorityFile);
  const X509Handle server = readCertificatePEM(made.certificateFile);
  const KeyHandle key = readPrivateKeyPEM(made.keyFile);
  if (!authority || !server || !key || X509_check_private_key(server.get(), key.get()) != 1) {
    return "unreadable, or not the server's key";
  }
  const std::unique_ptr<X509_STORE, FreeWith<X509_STORE_free>> store(X509_STORE_new());
  const std::unique_ptr<X509_STORE_CTX, FreeWith<X509_STORE_CTX_free>> context(
      X509_STORE_CTX_new());
  X509_STORE_add_cert(store.get(), authority.get());
  X509_STORE_CTX_init(context.get(), store.get(), server.get(), nullptr);
  X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_SSL_SERVER);
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context.get());
  if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1) {
    X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);  // a name, not an address
  }
  if (X509_verify_cert(context.get()) == 1) return "";
  return X509_verify_cert_error_string(X509_STORE_CTX_get_error(context.get()));
}

// Made with private keys and trusted for loopback only. Whatever happened to the server's
// files later, it gets a certificate again from the CA that clients already trust, and keeps
// that one afterwards; but a CA without its key is named rather than replaced.
TEST(EndpointCertificatesTest, PrivateForLoopbackOnlyAndMadeAgainUnderTheSameAuthority) {
  testing::ScratchDirectory dir;
  const std::string folder = dir.path() + "endpoint";
  const auto certificates = [&] {
    const auto made = endpointCertificates(folder);
    EXPECT_TRUE(made) << (made ? "" : made.failure().message);
    return made ? *made : EndpointCertificates{};
  };
  const EndpointCertificates first = certificates();
  const auto rw = fs::perms::owner_read | fs::perms::owner_write;
  EXPECT_EQ((std::vector{fs::status(folder).permissions(), fs::status(first.keyFile).permissions(),
                         fs::status(folder + "/ca.key").permissions()}),
            (std::vector{fs::perms::owner_all, rw, rw}));
  std::vector<bool> trusted;
  for (const char* host : {"localhost", "127.0.0.1", "::1", "example.com", "10.0.0.1"}) {
    trusted.push_back(clientVerdict(first, host).empty());
  }
  EXPECT_EQ(trusted, (std::vector{true, true, true, false, false}));

  testing::ScratchDirectory elsewhere;
  ASSERT_TRUE(endpointCertificates(elsewhere.path() + "endpoint"));
  const auto foreign = [&](const char* file) { dir.write(file, elsewhere.read(file)); };
  const std::vector<std::pair<std::string, std::function<void()>>> damages = {
      {"server.crt removed", [&] { fs::remove(folder + "/server.crt"); }},
      {"server.crt garbage", [&] { dir.write("endpoint/server.crt", "garbage"); }},
      {"signed by another CA",
       [&] { foreign("endpoint/server.crt"), foreign("endpoint/server.key"); }},
      {"another key", [&] { foreign("endpoint/server.key"); }}};
  const std::string authority = dir.read("endpoint/ca.crt");
  for (const auto& [name, damage] : damages) {
    damage();
    EXPECT_EQ(clientVerdict(certificates(), "localhost"), "") << name;
    const std::string remade = dir.read("endpoint/server.crt");
    certificates();
    EXPECT_EQ(std::pair(dir.read("endpoint/ca.crt"), dir.read("endpoint/server.crt")),
              std::pair(authority, remade))
        << name;
  }
  fs::remove(folder + "/ca.key");
  const auto keyless = endpointCertificates(folder);
  EXPECT_EQ(keyless ? "" : keyless.failure().message,
            folder + "/ca.key: missing or not a PEM private key");
  EXPECT_EQ(dir.read("endpoint/ca.crt"), authority);
}

}  // namespace
}  // namespace corvanta
