// The reasons of the system, SQLite and the server in French: each table gives its codes
// words, and a code no table knows keeps the library's own text.
#include "storage/reasons.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "storage/postgres/connection.h"
#include "storage/sqlite/database.h"

namespace {

using storage::connection_reason;
using storage::errno_reason;
using storage::state_reason;
using storage::sqlite::sqlite_reason;

TEST(Reasons, EachTableGivesItsCodesFrenchWords) {
  struct Case {
    std::string reason;
    const char* expected;
  } cases[] = {
      {errno_reason(ENOSPC), "plus de place sur le disque"},
      {errno_reason(4242), "erreur du système (errno 4242 : Unknown error 4242)"},
      {sqlite_reason(SQLITE_BUSY, "database is locked", 0), "le fichier est resté occupé par d'autres programmes"},
      {sqlite_reason(SQLITE_IOERR_WRITE, "disk I/O error", ENOSPC),
       "erreur d'écriture sur le disque (plus de place sur le disque)"},
      // An extended code without words of its own has its primary code's.
      {sqlite_reason(SQLITE_IOERR_VNODE, "disk I/O error", 0), "erreur d'entrée-sortie sur le disque"},
      {sqlite_reason(SQLITE_CANTOPEN, "unable to open database file", EACCES),
       "impossible d'ouvrir le fichier (accès refusé)"},
      {sqlite_reason(SQLITE_ERROR, "no such table: records", 0), "erreur de SQLite (code 1 : no such table: records)"},
      {state_reason("55P03", "canceling statement due to lock timeout"),
       "verrou non obtenu dans le délai (lock_timeout) : un autre programme retient la table"},
      {state_reason("3D000", "database \"north\" does not exist"), "base de données « north » introuvable"},
      {state_reason("53999", "odd"), "ressources du serveur insuffisantes"},  // by its class
      {state_reason("42501", "permission denied for schema north"), "droits insuffisants sur le schéma north"},
      {state_reason("XX000", "cache lookup failed"), "erreur du serveur (SQLSTATE XX000 : cache lookup failed)"},
      {connection_reason("connection to server on socket \"/run/pg/.s.PGSQL.5432\" failed: No such file or directory "
                         "Is the server running locally and accepting connections on that socket?"),
       "socket « /run/pg/.s.PGSQL.5432 » : aucun serveur n'écoute sur ce socket (le serveur est-il démarré ?)"},
      {connection_reason("connection to server at \"a\" (10.0.0.1), port 5432 failed: Connection refused Is the server "
                         "running on that host and accepting TCP/IP connections? connection to server at \"b\" "
                         "(10.0.0.2), port 5433 failed: timeout expired"),
       "serveur « a » (10.0.0.1), port 5432 : connexion refusée : aucun serveur n'écoute à cette adresse sur ce port ; "
       "serveur « b » (10.0.0.2), port 5433 : délai de connexion dépassé"},
      {connection_reason("could not translate host name \"db.north\" to address: Name or service not known"),
       "nom d'hôte « db.north » inconnu"},
      {connection_reason("SSL error: unexpected eof while reading"),
       "échec de SSL (libpq : SSL error: unexpected eof while reading)"},
      {connection_reason("lost synchronization with server"),
       "échec de la connexion au serveur (libpq : lost synchronization with server)"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.reason, c.expected);
}

// The usual codes all have words: none falls back to the library's text.
TEST(Reasons, TheUsualCodesHaveWords) {
  for (const int error : {ENOENT, EACCES, EPERM,  ENOSPC, EDQUOT, EROFS, EIO,    ENOTDIR, EISDIR, ENAMETOOLONG,
                          ELOOP,  EMFILE, ENFILE, ENOMEM, EEXIST, EBUSY, EAGAIN, EINTR,   EXDEV,  ETXTBSY}) {
    EXPECT_EQ(errno_reason(error).find("errno"), std::string::npos) << error;
  }
  for (const int rc :
       {SQLITE_BUSY, SQLITE_LOCKED, SQLITE_NOTADB, SQLITE_CORRUPT, SQLITE_FULL, SQLITE_IOERR_READ, SQLITE_IOERR_FSYNC,
        SQLITE_CANTOPEN, SQLITE_READONLY_DBMOVED, SQLITE_PERM, SQLITE_AUTH, SQLITE_NOMEM, SQLITE_CONSTRAINT_NOTNULL}) {
    EXPECT_EQ(sqlite_reason(rc, "text", 0).find("text"), std::string::npos) << rc;
  }
  for (const char* state : {"08006", "28P01", "28000", "42501", "42P01", "57014", "55P03", "40001", "40P01", "53300",
                            "57P01", "57P03", "3D000", "23505"}) {
    EXPECT_EQ(state_reason(state, "text").find("text"), std::string::npos) << state;
  }
}

}  // namespace
