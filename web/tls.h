// TLS for fleet serve on an office network: OpenSSL's context, made once at the start
// from the certificate and its key (--tls-cert, --tls-key), TLS 1.2 at least. The
// connections themselves go through BoundedServer's stream, which holds every bound
// of Limits over the TLS records as over plain bytes.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

namespace fleet::web {

struct TlsContextFree {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
using TlsContext = std::unique_ptr<SSL_CTX, TlsContextFree>;

// The context of cert_file (PEM, its chain after it) and key_file; null with why
// (French) when either cannot be read or they do not match.
TlsContext make_tls_context(const std::string& cert_file, const std::string& key_file, std::string* why);

}  // namespace fleet::web
