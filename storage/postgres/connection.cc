// A connection to the server: its opening within the window, statements sent and
// awaited without blocking past the window, and the SQLSTATE of each failure.
#include "storage/postgres/connection.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "storage/reasons.h"

namespace storage {
namespace {

bool is_state_char(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'); }

// A message of the client library as one line: its lines joined, the source location
// dropped, and the SQLSTATE that verbose messages carry after the severity
// ("FATAL:  28P01: password ...") taken out into state.
std::string one_line(std::string_view message, std::string* state) {
  std::string line;
  while (!message.empty()) {
    const size_t end = std::min(message.find('\n'), message.size());
    std::string_view part = message.substr(0, end);
    message.remove_prefix(std::min(end + 1, message.size()));
    while (!part.empty() && (part.front() == ' ' || part.front() == '\t')) part.remove_prefix(1);
    while (!part.empty() && (part.back() == ' ' || part.back() == '\r')) part.remove_suffix(1);
    if (part.empty() || part.starts_with("LOCATION:")) continue;
    if (!line.empty()) line += ' ';
    line += part;
  }
  for (size_t at = line.find(":  "); at != std::string::npos; at = line.find(":  ", at + 1)) {
    const size_t code = at + 3;
    if (code + 7 <= line.size() && std::all_of(&line[code], &line[code + 5], is_state_char) &&
        line.compare(code + 5, 2, ": ") == 0) {
      if (state != nullptr) *state = line.substr(code, 5);
      line.erase(code, 7);
      break;
    }
  }
  return line;
}

struct StateText {
  std::string_view state;  // an SQLSTATE, or the two characters of its class
  const char* text;        // "{}": the name the server's message quotes first, if any
};

// The French words for the server's SQLSTATEs: a state first, then its class.
constexpr StateText kStateTexts[] = {
    {"08000", "la connexion au serveur a échoué"},
    {"08001", "impossible d'établir la connexion au serveur"},
    {"08003", "la connexion au serveur n'existe plus"},
    {"08004", "le serveur a refusé la connexion"},
    {"08006", "la connexion au serveur a été coupée"},
    {"08007", "la connexion a été coupée pendant la validation : son issue n'est pas connue"},
    {"08P01", "le client et le serveur ne se comprennent pas (protocole)"},
    {"08", "erreur de connexion au serveur"},
    {"28P01", "authentification par mot de passe refusée pour l'utilisateur{}"},
    {"28000", "le serveur refuse cet utilisateur (rôle inconnu, ou connexion que pg_hba.conf ne permet pas)"},
    {"28", "authentification refusée par le serveur"},
    {"42501", "droits insuffisants sur le serveur"},  // or on what denied_object names
    {"42P01", "table{} introuvable"},
    {"42P07", "la table{} existe déjà"},
    {"42703", "colonne{} introuvable"},
    {"42704", "objet{} introuvable"},
    {"42883", "fonction inconnue du serveur (sa version est-elle trop ancienne ?)"},
    {"3D000", "base de données{} introuvable"},
    {"3F000", "schéma{} introuvable (le search_path de l'URI nomme-t-il un schéma qui existe ?)"},
    {"57014", "requête annulée : son délai (statement_timeout) est dépassé, ou son annulation demandée"},
    {"55P03", "verrou non obtenu dans le délai (lock_timeout) : un autre programme retient la table"},
    {"55006", "objet occupé par une autre session"},
    {"40001", "transaction refusée pour un conflit avec des écritures simultanées"},
    {"40P01", "interblocage avec un autre programme"},
    {"40", "transaction annulée par le serveur"},
    {"53100", "le disque du serveur est plein"},
    {"53200", "mémoire du serveur insuffisante"},
    {"53300", "trop de connexions au serveur"},
    {"53400", "limite de configuration du serveur dépassée"},
    {"53", "ressources du serveur insuffisantes"},
    {"54000", "limite du serveur dépassée"},
    {"57P01", "connexion terminée par un administrateur ou par l'arrêt du serveur"},
    {"57P02", "connexion terminée : le serveur redémarre après l'arrêt brutal d'un de ses processus"},
    {"57P03", "le serveur ne prend pas de connexion pour l'instant (il démarre, s'arrête ou se rétablit)"},
    {"57P04", "la base de données a été supprimée"},
    {"57P05", "connexion terminée : inactive trop longtemps"},
    {"25P03", "connexion terminée : inactive trop longtemps au milieu d'une transaction"},
    {"25006", "le serveur n'accepte que des lectures (serveur de secours)"},
    {"23505", "un enregistrement de cette clé est déjà dans la table"},
    {"23502", "une valeur manque à l'enregistrement (colonne{} NOT NULL)"},
    {"23503", "enregistrement refusé par une clé étrangère de la table"},
    {"23514", "enregistrement refusé par une contrainte de vérification de la table"},
    {"23P01", "enregistrement refusé par une contrainte d'exclusion de la table"},
    {"23", "enregistrement refusé par une contrainte de la table"},
    {"22021", "caractère refusé par le codage du serveur"},
    {"22P05", "caractère sans équivalent dans le codage du serveur"},
    {"0A000", "opération que ce serveur ne permet pas"},
    {"58030", "erreur d'entrée-sortie sur le serveur"},
    {"XX001", "données abîmées sur le serveur"},
    {"XX002", "index abîmé sur le serveur"},
};

struct LibpqText {
  std::string_view needle;  // in the client library's message
  const char* text;         // "{}": the name the message quotes first, if any
  bool keeps_message;       // the message follows: it says what the words cannot
};

// The French words for the client library's failures that carry no SQLSTATE (those of a
// connection, mostly), by a piece of its message, the first found in this order.
constexpr LibpqText kLibpqTexts[] = {
    {"password authentication failed", "authentification par mot de passe refusée pour l'utilisateur{}", false},
    {"no password supplied", "le serveur demande un mot de passe, que ni l'URI ni ~/.pgpass ne donnent", false},
    {"terminating connection due to administrator command",
     "connexion terminée par un administrateur ou par l'arrêt du serveur", false},
    {"the database system is shutting down", "le serveur s'arrête", false},
    {"the database system is starting up", "le serveur démarre", false},
    {"server closed the connection unexpectedly",
     "le serveur a fermé la connexion sans prévenir (il s'est peut-être arrêté)", false},
    {"No such file or directory", "aucun serveur n'écoute sur ce socket (le serveur est-il démarré ?)", false},
    {"Connection refused", "connexion refusée : aucun serveur n'écoute à cette adresse sur ce port", false},
    {"timeout expired", "délai de connexion dépassé", false},
    {"Connection timed out", "délai de connexion dépassé", false},
    {"could not translate host name", "nom d'hôte{} inconnu", false},
    {"Permission denied", "accès au socket refusé", false},
    {"No route to host", "serveur injoignable (aucune route vers lui)", false},
    {"Network is unreachable", "réseau injoignable", false},
    {"Connection reset by peer", "connexion coupée par le serveur", false},
    {"Broken pipe", "connexion coupée", false},
    {"no connection to the server", "pas de connexion au serveur", false},
    {"server does not support SSL", "le serveur ne prend pas SSL en charge, que l'URI exige (sslmode)", false},
    {"certificate verify failed", "certificat SSL du serveur refusé", false},
    {"root certificate file", "certificat racine introuvable (sslrootcert, ou ~/.postgresql/root.crt)", false},
    {"SSL", "échec de SSL", true},
    {"URI", "URI de connexion incorrecte", true},
    {"connection option", "URI de connexion incorrecte", true},
    {"connection info string", "URI de connexion incorrecte", true},
    {"percent-encoded", "URI de connexion incorrecte", true},
    {"invalid port number", "URI de connexion incorrecte", true},
    {" value: ", "URI de connexion incorrecte", true},  // an sslmode, a target_session_attrs...
};

// The object a refused privilege names ("permission denied for schema north"), in
// French ("le schéma north"); empty when the message is not of that form.
std::string denied_object(std::string_view message) {
  constexpr std::string_view kDenied = "permission denied for ";
  static constexpr std::pair<std::string_view, std::string_view> kKinds[] = {
      {"table ", "la table "},       {"relation ", "la table "},
      {"schema ", "le schéma "},     {"database ", "la base de données "},
      {"sequence ", "la séquence "}, {"function ", "la fonction "},
  };
  if (!message.starts_with(kDenied)) return {};
  message.remove_prefix(kDenied.size());
  for (const auto& [kind, words] : kKinds) {
    if (message.starts_with(kind)) return std::string(words) + std::string(message.substr(kind.size()));
  }
  return {};
}

// The first name that message quotes, as people read it ("« name »"); empty when it
// quotes none. *after is where the message goes on after it.
std::string first_quoted(std::string_view message, size_t* after = nullptr) {
  const size_t open = message.find('"');
  const size_t close = open == std::string_view::npos ? open : message.find('"', open + 1);
  if (after != nullptr) *after = close == std::string_view::npos ? close : close + 1;
  if (close == std::string_view::npos) return {};
  return "« " + std::string(message.substr(open + 1, close - open - 1)) + " »";
}

// text with its "{}" replaced by the first name that message quotes, or by nothing.
std::string with_name(std::string_view text, std::string_view message) {
  std::string words(text);
  const size_t at = words.find("{}");
  if (at == std::string::npos) return words;
  const std::string name = first_quoted(message);
  return words.replace(at, 2, name.empty() ? "" : " " + name);
}

// Where one try of a connection went, from "connection to server on socket "S" failed"
// or "connection to server at "H" (A), port P failed": "socket « S »" or
// "serveur « H » (A), port P"; empty when the message names no such try.
std::string where_tried(std::string_view message) {
  constexpr std::string_view kTry = "connection to server ";
  if (!message.starts_with(kTry)) return {};
  message.remove_prefix(kTry.size());
  message = message.substr(0, message.find(" failed"));
  size_t after = 0;
  const std::string name = first_quoted(message, &after);
  if (name.empty()) return {};
  if (message.starts_with("on socket ")) return "socket " + name;
  return "serveur " + name + std::string(message.substr(after));
}

// What a try's message says went wrong: after "failed: ", without the severity.
std::string_view why_failed(std::string_view message) {
  if (const size_t failed = message.find(" failed: "); failed != std::string_view::npos) {
    message.remove_prefix(failed + 9);
  }
  for (const std::string_view severity : {"FATAL:", "ERROR:"}) {
    if (message.starts_with(severity)) message.remove_prefix(severity.size());
  }
  while (message.starts_with(' ')) message.remove_prefix(1);
  return message;
}

// A refusal of the server (its SQLSTATE, state) while connecting: where the last try
// went, then the state's words.
std::string refusal_reason(std::string_view state, std::string_view message) {
  if (const size_t last = message.rfind("connection to server "); last != std::string_view::npos) {
    message.remove_prefix(last);
  }
  const std::string where = where_tried(message);
  return (where.empty() ? "" : where + " : ") + state_reason(state, why_failed(message));
}

// The status for an SQLSTATE of the server.
FileStatus status_of_state(const std::string& state) {
  if (state == "23505") return FileStatus::kDuplicateKey;                       // unique_violation
  if (state.starts_with("28") || state == "42501") return FileStatus::kDenied;  // authorization
  return FileStatus::kFailed;
}

// SQLSTATEs after which the connection cannot go on: connection exceptions (08), the
// server shutting down or starting (57P01 to 57P03), and a server that became a
// standby and takes no writes (25006), as after a fail-over to a host of the URI.
bool is_lost(const std::string& state) {
  return state.starts_with("08") || state == "57P01" || state == "57P02" || state == "57P03" || state == "25006";
}

void pause_ms(int ms) { ::usleep(static_cast<useconds_t>(ms) * 1000); }

}  // namespace

std::string state_reason(std::string_view state, std::string_view message) {
  if (state == "42501") {
    if (const std::string object = denied_object(message); !object.empty()) return "droits insuffisants sur " + object;
  }
  for (const size_t length : {size_t{5}, size_t{2}}) {
    for (const StateText& known : kStateTexts) {
      if (known.state.size() == length && state.substr(0, length) == known.state) return with_name(known.text, message);
    }
  }
  return unknown_reason("erreur du serveur", "SQLSTATE " + std::string(state), message);
}

std::string connection_reason(std::string_view message) {
  // A connection tried on several hosts says what went wrong with each.
  constexpr std::string_view kTry = "connection to server ";
  std::string reason;
  while (!message.empty()) {
    const size_t next = message.find(kTry, 1);
    std::string_view one = message.substr(0, next);
    message.remove_prefix(one.size());
    while (one.ends_with(' ')) one.remove_suffix(1);
    const std::string where = where_tried(one);
    const std::string_view why = why_failed(one);
    std::string part = where.empty() ? "" : where + " : ";
    const LibpqText* found = nullptr;
    for (const LibpqText& known : kLibpqTexts) {
      if (why.find(known.needle) != std::string_view::npos) {
        found = &known;
        break;
      }
    }
    if (found == nullptr) {
      part += unknown_reason("échec de la connexion au serveur", "libpq", why);
    } else if (found->keeps_message) {
      part += unknown_reason(with_name(found->text, why), "libpq", why);
    } else {
      part += with_name(found->text, why);
    }
    reason += (reason.empty() ? "" : " ; ") + part;
  }
  return reason.empty() ? "échec de la connexion au serveur" : reason;
}

bool is_conflict(const std::string& state) { return state == "40001" || state == "40P01"; }

void pause_apart(int attempt) { ::usleep(static_cast<useconds_t>(500 * (1 + (::getpid() + attempt) % 8))); }

Connection::Connection(const Libpq& pq, std::string uri, std::string client, bool writes, int window_ms)
    : pq_(pq),
      uri_(std::move(uri)),
      client_(std::move(client)),
      writes_(writes),
      window_ms_(window_ms),
      check_ms_(std::max(window_ms / 6, 500)) {}

int Connection::ms_until(Clock::time_point limit) {
  return static_cast<int>(
      std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(limit - Clock::now()).count()));
}

Result Connection::no_answer() const {
  return failure(FileStatus::kFailed,
                 "pas de réponse du serveur en " + std::to_string(window_ms_ / 1000) + " secondes");
}

bool Connection::lost() const {
  return timed_out_ || conn_ == nullptr || pq_.status(conn_) == CONNECTION_BAD || is_lost(last_state_);
}

bool Connection::pause_to_reconnect() {
  drop();
  if (ms_left() < 200) return false;
  pause_ms(std::min(200, ms_left() - 100));
  return true;
}

bool Connection::wait_for(short events, Clock::time_point limit) {
  for (;;) {
    pollfd fd{pq_.socket(conn_), events, 0};
    const int ready = ::poll(&fd, 1, ms_until(limit));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return true;  // let the client library find what is wrong
  }
}

PGresult* Connection::run(const std::string& sql, const Parameters& parameters, int binary_result,
                          Clock::time_point limit) {
  if (limit == Clock::time_point{}) limit = statement_limit();
  timed_out_ = false;
  last_state_.clear();
  const int sent = parameters.count < 0
                       ? pq_.send_query(conn_, sql.c_str())
                       : pq_.send_query_params(conn_, sql.c_str(), parameters.count, nullptr, parameters.values,
                                               parameters.lengths, parameters.binary, binary_result);
  if (sent == 0) return nullptr;
  for (int flushed = pq_.flush(conn_); flushed != 0; flushed = pq_.flush(conn_)) {
    if (flushed < 0) return nullptr;
    if (!wait_for(POLLOUT | POLLIN, limit)) {
      timed_out_ = true;
      break;
    }
    if (pq_.consume_input(conn_) == 0) return nullptr;
  }
  PGresult* kept = nullptr;
  while (!timed_out_) {
    while (pq_.is_busy(conn_) != 0) {
      if (!wait_for(POLLIN, limit)) {
        timed_out_ = true;
        break;
      }
      if (pq_.consume_input(conn_) == 0) break;  // the result now says what failed
    }
    if (timed_out_) break;
    PGresult* next = pq_.get_result(conn_);
    if (next == nullptr) break;
    const ExecStatusType status = pq_.result_status(next);
    // The first failure, else the last rows, else the last result.
    const ExecStatusType kept_status = kept != nullptr ? pq_.result_status(kept) : PGRES_EMPTY_QUERY;
    const bool keep = kept != nullptr && ((kept_status != PGRES_COMMAND_OK && kept_status != PGRES_TUPLES_OK) ||
                                          (kept_status == PGRES_TUPLES_OK && status == PGRES_COMMAND_OK));
    if (keep) {
      pq_.clear(next);
    } else {
      if (kept != nullptr) pq_.clear(kept);
      kept = next;
    }
    if (status == PGRES_FATAL_ERROR && pq_.status(conn_) == CONNECTION_BAD) break;
  }
  if (timed_out_) {
    if (kept != nullptr) pq_.clear(kept);
    drop();
    return nullptr;
  }
  return kept;
}

Result Connection::connect() {
  // Later entries override earlier ones, so the URI's own settings win.
  const char* keywords[] = {"fallback_application_name", "dbname", nullptr};
  const char* values[] = {client_.c_str(), uri_.c_str(), nullptr};
  conn_ = pq_.connect_start(keywords, values, 1);
  if (conn_ == nullptr) return failure(FileStatus::kFailed, errno_reason(ENOMEM));
  // Verbose messages carry the SQLSTATE, which tells a refused authentication apart.
  pq_.set_error_verbosity(conn_, PQERRORS_VERBOSE);
  pq_.set_notice_processor(
      conn_, [](void*, const char*) {}, nullptr);  // standard error stays ours
  // A host that does not answer is given up after connect_timeout when the URI sets
  // it, so that the next host of the URI is tried; the window bounds the whole.
  int host_ms = 0;
  if (PQconninfoOption* options = pq_.conninfo(conn_)) {
    for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
      if (std::strcmp(o->keyword, "connect_timeout") == 0 && o->val != nullptr && std::atoi(o->val) > 0) {
        host_ms = 1000 * std::max(2, std::atoi(o->val));
      }
    }
    pq_.conninfo_free(options);
  }
  PostgresPollingStatusType polled = pq_.status(conn_) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
  while (polled == PGRES_POLLING_READING || polled == PGRES_POLLING_WRITING) {
    Clock::time_point limit = deadline_;
    if (host_ms > 0) limit = std::min(limit, Clock::now() + std::chrono::milliseconds(host_ms));
    if (!wait_for(polled == PGRES_POLLING_READING ? POLLIN : POLLOUT, limit)) {
      pq_.finish(conn_);
      conn_ = nullptr;
      return no_answer();
    }
    polled = pq_.connect_poll(conn_);
  }
  if (pq_.status(conn_) != CONNECTION_OK) {
    std::string state;
    const std::string message = said(one_line(pq_.error_message(conn_), &state));
    std::string reason = state.empty() ? connection_reason(message) : refusal_reason(state, message);
    const FileStatus status = pq_.needs_password(conn_) ? FileStatus::kDenied : status_of_state(state);
    pq_.finish(conn_);
    conn_ = nullptr;
    return failure(status, std::move(reason));
  }
  pq_.set_error_verbosity(conn_, PQERRORS_DEFAULT);
  pq_.set_nonblocking(conn_, 1);
  // The server gives up a lock wait or a statement well before the client would, so
  // that its error, not a silence, says why; settings the URI gives are kept, and so
  // are stricter ones of the server.
  // A lock wait is given up first, so that its message names it.
  std::string setup =
      "SELECT set_config(name, bound::text, false) FROM pg_settings,"
      " (VALUES ('lock_timeout', " +
      std::to_string(window_ms_ / 2) + "), ('statement_timeout', " + std::to_string(window_ms_ * 2 / 3) +
      ")) ours(setting_name, bound)"
      " WHERE name = setting_name AND source <> 'client' AND (setting::bigint = 0 OR setting::bigint > bound);"
      "SELECT backend_start::text FROM pg_stat_activity WHERE pid = pg_backend_pid();";
  // Each insert decides 02 from what it reads; at serializable isolation, inserts
  // that run at once and miss each other's record are refused and tried again.
  if (writes_) setup = "SET default_transaction_isolation TO serializable;" + setup;
  const PgResult set(pq_, run(setup));
  Result result = check(set);
  if (result.ok()) backend_ = std::to_string(pq_.backend_pid(conn_)) + " " + std::string(set.value(0, 0));
  return result;
}

Result Connection::connected() {
  // An idle connection receives nothing as a rule; a server that ends it sends why,
  // then closes it, which the second read finds.
  for (int read = 0; conn_ != nullptr && read < 4 && pq_.status(conn_) == CONNECTION_OK; ++read) {
    pollfd fd{pq_.socket(conn_), POLLIN, 0};
    if (::poll(&fd, 1, 0) <= 0 || pq_.consume_input(conn_) == 0) break;
  }
  if (conn_ != nullptr && pq_.status(conn_) == CONNECTION_OK) return {};
  drop();
  return connect();
}

void Connection::drop() {
  if (conn_ == nullptr) return;
  pq_.finish(conn_);
  conn_ = nullptr;
  abandoned_ = backend_;
  backend_.clear();
}

Result Connection::check(const PgResult& result) {
  if (result.get() == nullptr) {
    if (timed_out_) return no_answer();
    return failure(FileStatus::kFailed, conn_ != nullptr
                                            ? connection_reason(said(one_line(pq_.error_message(conn_), nullptr)))
                                            : "la connexion au serveur est perdue");
  }
  const ExecStatusType status = pq_.result_status(result.get());
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return {};
  const char* code = pq_.result_error_field(result.get(), PG_DIAG_SQLSTATE);
  const char* primary = pq_.result_error_field(result.get(), PG_DIAG_MESSAGE_PRIMARY);
  last_state_ = code != nullptr ? code : "";
  const FileStatus file_status = status_of_state(last_state_);
  if (file_status == FileStatus::kDuplicateKey) return failure(file_status);
  const std::string message =
      said(primary != nullptr ? std::string(primary) : one_line(pq_.error_message(conn_), nullptr));
  return failure(file_status, code != nullptr ? state_reason(last_state_, message) : connection_reason(message));
}

Result Connection::end_abandoned() {
  if (abandoned_.empty()) return {};
  const size_t space = abandoned_.find(' ');
  const std::string pid = abandoned_.substr(0, space);
  const std::string started = abandoned_.substr(space + 1);
  const std::string wait = std::to_string(std::max(ms_left() - 500, 1));
  const char* values[] = {pid.c_str(), started.c_str()};
  const PgResult ended(pq_, run("SELECT pg_terminate_backend(pid, " + wait +
                                    ")::text FROM pg_stat_activity"
                                    " WHERE pid = $1::int AND backend_start::text = $2",
                                {2, values}, 0, deadline_));
  if (Result result = check(ended); !result.ok()) return result;
  if (ended.rows() == 1 && ended.value(0, 0) != "true") return no_answer();
  abandoned_.clear();
  return {};
}

}  // namespace storage
