// The French words for what the server and the client library say: a table by
// SQLSTATE (a state, then its class) and one by the client library's own messages for
// failures that carry no SQLSTATE; the library's text follows only for the rest.
#include <algorithm>
#include <cstring>

#include "storage/postgres/connection.h"
#include "storage/reasons.h"

namespace storage {
namespace {

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

}  // namespace

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

}  // namespace storage
