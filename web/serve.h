// fleet serve: the period's pages for a browser, on the loopback, behind a token.
//
// At its start it writes on standard error the one address to open, which carries a
// random token of 128 bits; opening it gives the browser a session cookie and sends
// it to the same address without the token. Every other page asks for that session
// (or the token itself, as "Authorization: Bearer TOKEN", for a script). Pages:
// /, /articles, /articles/PLATE, /export.csv, /export.json, and the style sheet;
// anything else is 404. One line per request on standard error, in the common log
// format, without the query string. SIGINT or SIGTERM ends it, status 0.
#pragma once

#include <string>
#include <vector>

#include "operations/context.h"

namespace fleet::web {

struct ServeOptions {
  std::vector<std::string> files;  // the period, in order
  std::string listen = "127.0.0.1:8080";
  std::string archives;  // --archives: the folder the archive page moves a file's articles into
  // An office network: the users file (a login instead of the start token), the
  // secret that seals sessions (shared by two servers), TLS, and the names the
  // server answers to besides its address (HOST or HOST:PORT, for a proxy).
  std::string users;
  std::string secret;
  std::string tls_cert, tls_key;
  std::vector<std::string> names;
};

// Serves until stopped: kDone; kNotDone when it could not listen; kWrongUsage for an
// address it may not listen on, or a users file, secret, certificate or key it cannot
// use.
int serve(const Context& context, const ServeOptions& options);

}  // namespace fleet::web
