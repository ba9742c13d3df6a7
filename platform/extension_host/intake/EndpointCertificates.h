// The provider endpoint's TLS identity: a local certificate authority that clients are told
// to trust, and a server certificate it signs for the loopback names.
#pragma once

#include <string>

#include "platform/foundation/Result.h"

namespace corvanta {

struct EndpointCertificates {
  std::string certificateFile, keyFile;  // the server's, for 127.0.0.1, ::1 and localhost
  std::string authorityFile;             // the CA a client trusts: DIR/ca.crt
};

// Finds in `directory` (the container's "endpoint" folder; made 0700, with any missing
// parents, when missing) a CA and a server certificate it signed, or makes them: ca.crt,
// ca.key, server.crt, server.key, each written atomically with mode 0600. EC P-256 keys; the CA for
// 10 years, the server certificate for 1 year with DNS:localhost, IP:127.0.0.1 and IP:::1.
// A CA that exists is kept, so that clients which trust it keep working; when ca.crt is
// missing a new CA is made, but a ca.crt whose ca.key is missing, unloadable or another
// key's, or that is no longer valid, is an error rather than silently replaced. A server
// certificate that is missing, unloadable, not signed by that CA, not matching its key or
// expiring within a day is made again. Fails with a reason naming the file. Not for
// concurrent use on one directory.
Result<EndpointCertificates> endpointCertificates(const std::string& directory);

}  // namespace corvanta
