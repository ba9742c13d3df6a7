#include "platform/extension_host/intake/EndpointCertificates.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <utility>

#include "platform/extension_host/intake/OpenSSLHandles.h"
#include "platform/foundation/FileSystem.h"

namespace corvanta {
namespace {

constexpr long kDaySeconds = 24 * 60 * 60;
constexpr long kAuthorityDays = 10 * 365 + 3;
constexpr long kServerDays = 365;

using Key = KeyHandle;
using Certificate = X509Handle;

// A key and the certificate that names it.
struct Identity {
  Key key;
  Certificate certificate;
};

// `file: reason`. OpenSSL's queue of errors is cleared: what is in it belongs to this failure.
Failure failed(const std::string& file, const std::string& reason) {
  ERR_clear_error();
  return {file + ": " + reason};
}

bool exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

// Valid now and still `seconds` from now.
bool validFor(X509* certificate, long seconds) {
  time_t now = ::time(nullptr);
  time_t later = now + seconds;
  return X509_cmp_time(X509_get0_notBefore(certificate), &now) < 0 &&
         X509_cmp_time(X509_get0_notAfter(certificate), &later) > 0;
}

// The server's identity is usable when its key is the certificate's, the CA signed it, and it
// has a day left: a client must not meet it expired mid-run.
bool serverUsable(const Identity& server, const Identity& authority) {
  return server.key && server.certificate &&
         X509_check_private_key(server.certificate.get(), server.key.get()) == 1 &&
         X509_check_issued(authority.certificate.get(), server.certificate.get()) == X509_V_OK &&
         X509_verify(server.certificate.get(), authority.key.get()) == 1 &&
         validFor(server.certificate.get(), kDaySeconds);
}

std::string authorityName() {
  char host[256] = "";
  std::string suffix;
  if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') {
    suffix = host;
  } else {
    unsigned char random[4] = {};
    RAND_bytes(random, sizeof random);
    static constexpr char kHex[] = "0123456789abcdef";
    for (unsigned char byte : random) suffix += {kHex[byte >> 4], kHex[byte & 15]};
  }
  std::string name = "corvanta-nse local CA " + suffix;
  name.resize(std::min<std::size_t>(name.size(), 64));  // the longest common name X.509 allows
  return name;
}

bool addExtension(X509* certificate, X509V3_CTX* context, int nid, const char* value) {
  X509ExtensionHandle extension(X509V3_EXT_conf_nid(nullptr, context, nid, value));
  return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

// A certificate for `key`, signed by `issuer` (itself when null), with the extensions given
// as OpenSSL's configuration strings.
Certificate makeCertificate(EVP_PKEY* key, const std::string& commonName, long days,
                            const Identity* issuer,
                            std::initializer_list<std::pair<int, const char*>> extensions) {
  Certificate certificate(X509_new());
  BignumHandle serial(BN_new());
  if (!certificate || !serial ||
      BN_rand(serial.get(), 159, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
      !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate.get())) ||
      X509_set_version(certificate.get(), X509_VERSION_3) != 1 ||
      !X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -60 * 60) ||
      !X509_gmtime_adj(X509_getm_notAfter(certificate.get()), days * kDaySeconds) ||
      X509_set_pubkey(certificate.get(), key) != 1) {
    return nullptr;
  }
  X509_NAME* subject = X509_get_subject_name(certificate.get());
  const auto* name = reinterpret_cast<const unsigned char*>(commonName.c_str());
  if (X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, name, -1, -1, 0) != 1) {
    return nullptr;
  }
  X509* signer = issuer ? issuer->certificate.get() : certificate.get();
  EVP_PKEY* signingKey = issuer ? issuer->key.get() : key;
  if (X509_set_issuer_name(certificate.get(), X509_get_subject_name(signer)) != 1) return nullptr;
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, signer, certificate.get(), nullptr, nullptr, 0);
  for (const auto& [nid, value] : extensions) {
    if (!addExtension(certificate.get(), &context, nid, value)) return nullptr;
  }
  if (X509_sign(certificate.get(), signingKey, EVP_sha256()) <= 0) return nullptr;
  return certificate;
}

Identity makeAuthority() {
  Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key) return {};
  Certificate certificate = makeCertificate(key.get(), authorityName(), kAuthorityDays, nullptr,
                                            {{NID_basic_constraints, "critical,CA:TRUE"},
                                             {NID_key_usage, "critical,keyCertSign,cRLSign"},
                                             {NID_subject_key_identifier, "hash"}});
  return {std::move(key), std::move(certificate)};
}

Identity makeServer(const Identity& authority) {
  Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key) return {};
  Certificate certificate =
      makeCertificate(key.get(), "localhost", kServerDays, &authority,
                      {{NID_basic_constraints, "critical,CA:FALSE"},
                       {NID_key_usage, "critical,digitalSignature"},
                       {NID_ext_key_usage, "serverAuth"},
                       {NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:::1"},
                       {NID_subject_key_identifier, "hash"},
                       {NID_authority_key_identifier, "keyid:always"}});
  return {std::move(key), std::move(certificate)};
}

std::string memoryText(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(length));
}

// Writes the key before the certificate: a run stopped between the two leaves a certificate
// that no longer matches its key, which the next run makes again.
bool writeIdentity(const Identity& identity, const std::string& keyFile,
                   const std::string& certificateFile) {
  BIOHandle key(BIO_new(BIO_s_mem())), certificate(BIO_new(BIO_s_mem()));
  if (!key || !certificate ||
      PEM_write_bio_PrivateKey(key.get(), identity.key.get(), nullptr, nullptr, 0, nullptr,
                               nullptr) != 1 ||
      PEM_write_bio_X509(certificate.get(), identity.certificate.get()) != 1) {
    return false;
  }
  FileSystem& files = FileSystem::Current();
  return files.writeFileAtomically(keyFile, memoryText(key.get())) &&
         files.writeFileAtomically(certificateFile, memoryText(certificate.get()));
}

// A new CA, written to `certificateFile` and `keyFile`.
Result<Identity> writeNewAuthority(const std::string& certificateFile, const std::string& keyFile) {
  Identity authority = makeAuthority();
  if (!authority.certificate) return failed(certificateFile, "cannot make a CA");
  if (!writeIdentity(authority, keyFile, certificateFile)) {
    return failed(certificateFile, "cannot write the CA");
  }
  return authority;
}

// The CA kept in `certificateFile` and `keyFile`, which must belong together and stay valid
// for a day more.
Result<Identity> readAuthority(const std::string& certificateFile, const std::string& keyFile) {
  Identity authority{readPrivateKeyPEM(keyFile), readCertificatePEM(certificateFile)};
  if (!authority.certificate) return failed(certificateFile, "not a PEM certificate");
  if (!authority.key) return failed(keyFile, "missing or not a PEM private key");
  if (X509_check_private_key(authority.certificate.get(), authority.key.get()) != 1) {
    return failed(keyFile, "not the key of " + certificateFile);
  }
  if (!validFor(authority.certificate.get(), kDaySeconds)) {
    return failed(certificateFile, "the CA expires within a day; remove it to make another");
  }
  return authority;
}

// A new server certificate from `authority`, written to the server's files in `files`.
Result<> writeNewServer(const Identity& authority, const EndpointCertificates& files) {
  const Identity server = makeServer(authority);
  if (!server.certificate) return failed(files.certificateFile, "cannot make a server certificate");
  if (!writeIdentity(server, files.keyFile, files.certificateFile)) {
    return failed(files.certificateFile, "cannot write the server certificate");
  }
  return {};
}

}  // namespace

Result<EndpointCertificates> endpointCertificates(const std::string& directory) {
  if (Result<> made = FileSystem::Current().makeDirectories(directory, 0700); !made) {
    return Failure::ofErrno(directory + ": cannot make the directory", made.failure().code);
  }
  const std::string base =
      directory.empty() || directory.back() == '/' ? directory : directory + "/";
  const EndpointCertificates files{base + "server.crt", base + "server.key", base + "ca.crt"};
  const std::string authorityKeyFile = base + "ca.key";

  const bool authorityKept = exists(files.authorityFile);
  Result<Identity> authority = authorityKept
                                   ? readAuthority(files.authorityFile, authorityKeyFile)
                                   : writeNewAuthority(files.authorityFile, authorityKeyFile);
  if (!authority) return std::move(authority).failure();

  const Identity server{readPrivateKeyPEM(files.keyFile),
                        readCertificatePEM(files.certificateFile)};
  ERR_clear_error();  // a missing or damaged server file is expected, and answered below
  if (!authorityKept || !serverUsable(server, *authority)) {
    if (Result<> made = writeNewServer(*authority, files); !made) return std::move(made).failure();
  }
  return files;
}

}  // namespace corvanta
