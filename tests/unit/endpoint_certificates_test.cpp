#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/extension_host/intake/EndpointCertificates.h"
#include "platform/extension_host/intake/OpenSSLHandles.h"
#include "support/ScratchDirectory.h"

namespace corvanta {
namespace {

namespace fs = std::filesystem;

// What a TLS client does with the server's certificate when told to trust only the CA: the
// chain, the purpose, and the name or address it dialled. "" when it would connect.
std::string clientVerdict(const EndpointCertificates& made, const std::string& host,
                          const std::string& ip) {
  const X509Handle authority = readCertificatePEM(made.authorityFile);
  const X509Handle server = readCertificatePEM(made.certificateFile);
  if (!authority || !server) return "unreadable";
  const std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(),
                                                                      X509_STORE_free);
  const std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> context(
      X509_STORE_CTX_new(), X509_STORE_CTX_free);
  X509_STORE_add_cert(store.get(), authority.get());
  X509_STORE_CTX_init(context.get(), store.get(), server.get(), nullptr);
  X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_SSL_SERVER);
  X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context.get());
  if (!host.empty()) X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
  if (!ip.empty()) X509_VERIFY_PARAM_set1_ip_asc(param, ip.c_str());
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
  EXPECT_TRUE(first.made);
  EXPECT_EQ(first.authorityFile, _folder + "/ca.crt");
  EXPECT_EQ(fs::status(_folder).permissions(), fs::perms::owner_all);
  for (const auto& key : {first.keyFile, _folder + "/ca.key"}) {
    EXPECT_EQ(fs::status(key).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  }
  EXPECT_EQ(clientVerdict(first, "localhost", ""), "");
  EXPECT_EQ(clientVerdict(first, "", "127.0.0.1"), "");
  EXPECT_EQ(clientVerdict(first, "", "::1"), "");
  EXPECT_NE(clientVerdict(first, "example.com", ""), "");
  EXPECT_NE(clientVerdict(first, "", "10.0.0.1"), "");

  const std::string authority = _dir.read("endpoint/ca.crt");
  const std::string server = _dir.read("endpoint/server.crt");
  const EndpointCertificates second = certificates();
  EXPECT_FALSE(second.made);
  EXPECT_EQ(_dir.read("endpoint/ca.crt"), authority);
  EXPECT_EQ(_dir.read("endpoint/server.crt"), server);
}

// Whatever happened to the server's files, it gets a certificate again from the CA that
// clients already trust.
TEST_F(EndpointCertificatesTest, ADamagedServerCertificateIsMadeAgainUnderTheSameAuthority) {
  testing::ScratchDirectory elsewhere;
  const auto foreign = endpointCertificates(elsewhere.path() + "endpoint");
  ASSERT_TRUE(foreign);
  const std::vector<std::pair<std::string, std::function<void()>>> damages = {
      {"server.crt removed", [&] { fs::remove(_folder + "/server.crt"); }},
      {"server.crt garbage", [&] { _dir.write("endpoint/server.crt", "garbage"); }},
      {"signed by another CA",
       [&] {
         fs::copy_file(foreign->certificateFile, _folder + "/server.crt",
                       fs::copy_options::overwrite_existing);
         fs::copy_file(foreign->keyFile, _folder + "/server.key",
                       fs::copy_options::overwrite_existing);
       }},
      {"another key", [&] {
         fs::copy_file(foreign->keyFile, _folder + "/server.key",
                       fs::copy_options::overwrite_existing);
       }}};
  certificates();
  const std::string authority = _dir.read("endpoint/ca.crt");
  for (const auto& [name, damage] : damages) {
    damage();
    const EndpointCertificates again = certificates();
    EXPECT_TRUE(again.made) << name;
    EXPECT_EQ(_dir.read("endpoint/ca.crt"), authority) << name;
    EXPECT_EQ(clientVerdict(again, "localhost", ""), "") << name;
    EXPECT_FALSE(certificates().made) << name;
  }
}

TEST_F(EndpointCertificatesTest, AnAuthorityWithoutItsKeyIsNamedRatherThanReplaced) {
  certificates();
  const std::string authority = _dir.read("endpoint/ca.crt");
  fs::remove(_folder + "/ca.key");
  const auto keyless = endpointCertificates(_folder);
  ASSERT_FALSE(keyless);
  EXPECT_NE(keyless.failure().message.find(_folder + "/ca.key"), std::string::npos);
  EXPECT_EQ(_dir.read("endpoint/ca.crt"), authority);
  _dir.write("file", "not a directory");
  const auto unmade = endpointCertificates(_dir.path() + "file");
  ASSERT_FALSE(unmade);
  EXPECT_EQ(unmade.failure().message,
            _dir.path() + "file: cannot make the directory: " + std::strerror(ENOTDIR));
}

}  // namespace
}  // namespace corvanta
