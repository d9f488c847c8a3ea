// The TLS context of fleet serve.
#include "web/tls.h"

#include <openssl/err.h>

namespace fleet::web {
namespace {

std::string last_error() {
  char text[256] = "";
  ERR_error_string_n(ERR_get_error(), text, sizeof text);
  ERR_clear_error();
  return text;
}

}  // namespace

TlsContext make_tls_context(const std::string& cert_file, const std::string& key_file, std::string* why) {
  TlsContext context(SSL_CTX_new(TLS_server_method()));
  if (!context) {
    *why = "TLS impossible : " + last_error();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
  // No renegotiation and no compression: neither serves pages, both have served attacks.
  SSL_CTX_set_options(context.get(), SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  // A write may take part of the buffer and be called again with the rest elsewhere.
  SSL_CTX_set_mode(context.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (SSL_CTX_use_certificate_chain_file(context.get(), cert_file.c_str()) != 1) {
    *why = "certificat TLS " + cert_file + " illisible : " + last_error();
    return nullptr;
  }
  if (SSL_CTX_use_PrivateKey_file(context.get(), key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
    *why = "clé TLS " + key_file + " illisible : " + last_error();
    return nullptr;
  }
  if (SSL_CTX_check_private_key(context.get()) != 1) {
    *why = "la clé TLS " + key_file + " n'est pas celle du certificat " + cert_file;
    return nullptr;
  }
  return context;
}

}  // namespace fleet::web
