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

using StoreHandle = std::unique_ptr<X509_STORE, FreeWith<X509_STORE_free>>;
using StoreContextHandle = std::unique_ptr<X509_STORE_CTX, FreeWith<X509_STORE_CTX_free>>;

// What a TLS client does with the server's certificate when told to trust only the CA (the
// chain, the purpose, the name or address it dialled), and whether the server could prove
// it holds the certificate's key. "" when the client would connect to `host`, a name or an
// address.
std::string clientVerdict(const EndpointCertificates& made, const std::string& host) {
  const X509Handle authority = readCertificatePEM(made.authorityFile);
  const X509Handle server = readCertificatePEM(made.certificateFile);
  const KeyHandle key = readPrivateKeyPEM(made.keyFile);
  if (!authority || !server || !key) return "unreadable";
  if (X509_check_private_key(server.get(), key.get()) != 1) return "not the server's key";
  const StoreHandle store(X509_STORE_new());
  const StoreContextHandle context(X509_STORE_CTX_new());
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

class EndpointCertificatesTest : public ::testing::Test {
 protected:
  EndpointCertificates certificates() {
    const auto made = endpointCertificates(_folder);
    EXPECT_TRUE(made) << (made ? "" : made.failure().message);
    return made ? *made : EndpointCertificates{};
  }

  testing::ScratchDirectory _dir;
  std::string _folder = _dir.path() + "endpoint";
};

TEST_F(EndpointCertificatesTest, MadeOnceTrustedForLoopbackAndKeptAfterwards) {
  const EndpointCertificates first = certificates();
  EXPECT_EQ(first.authorityFile, _folder + "/ca.crt");
  EXPECT_EQ(fs::status(_folder).permissions(), fs::perms::owner_all);
  for (const auto& key : {first.keyFile, _folder + "/ca.key"}) {
    EXPECT_EQ(fs::status(key).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  }
  for (const char* host : {"localhost", "127.0.0.1", "::1"}) {
    EXPECT_EQ(clientVerdict(first, host), "") << host;
  }
  for (const char* host : {"example.com", "10.0.0.1"}) {
    EXPECT_NE(clientVerdict(first, host), "") << host;
  }

  const std::string authority = _dir.read("endpoint/ca.crt");
  const std::string server = _dir.read("endpoint/server.crt");
  certificates();
  EXPECT_EQ(_dir.read("endpoint/ca.crt"), authority);
  EXPECT_EQ(_dir.read("endpoint/server.crt"), server);
}

// Whatever happened to the server's files, it gets a certificate again from the CA that
// clients already trust, and keeps that one afterwards.
TEST_F(EndpointCertificatesTest, ADamagedServerCertificateIsMadeAgainUnderTheSameAuthority) {
  testing::ScratchDirectory elsewhere;
  const auto foreign = endpointCertificates(elsewhere.path() + "endpoint");
  ASSERT_TRUE(foreign);
  const auto copy = [](const std::string& from, const std::string& to) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  };
  const std::vector<std::pair<std::string, std::function<void()>>> damages = {
      {"server.crt removed", [&] { fs::remove(_folder + "/server.crt"); }},
      {"server.crt garbage", [&] { _dir.write("endpoint/server.crt", "garbage"); }},
      {"signed by another CA",
       [&] {
         copy(foreign->certificateFile, _folder + "/server.crt");
         copy(foreign->keyFile, _folder + "/server.key");
       }},
      {"another key", [&] { copy(foreign->keyFile, _folder + "/server.key"); }}};
  certificates();
  const std::string authority = _dir.read("endpoint/ca.crt");
  for (const auto& [name, damage] : damages) {
    damage();
    EXPECT_EQ(clientVerdict(certificates(), "localhost"), "") << name;
    EXPECT_EQ(_dir.read("endpoint/ca.crt"), authority) << name;
    const std::string remade = _dir.read("endpoint/server.crt");
    certificates();
    EXPECT_EQ(_dir.read("endpoint/server.crt"), remade) << name;
  }
}

TEST_F(EndpointCertificatesTest, AnAuthorityWithoutItsKeyIsNamedRatherThanReplaced) {
  certificates();
  const std::string authority = _dir.read("endpoint/ca.crt");
  fs::remove(_folder + "/ca.key");
  const auto keyless = endpointCertificates(_folder);
  ASSERT_FALSE(keyless);
  EXPECT_EQ(keyless.failure().message, _folder + "/ca.key: missing or not a PEM private key");
  EXPECT_EQ(_dir.read("endpoint/ca.crt"), authority);
}

}  // namespace
}  // namespace corvanta
