// SQLite's side of the storage: result codes, URIs, the schema and the empty file.
#include "storage/sqlite/database.h"

#include <cctype>
#include <cstring>

#include "storage/reasons.h"
#include "storage/sqlite/file_os.h"
#include "storage/sqlite/sqlite_storage.h"

namespace storage::sqlite {
namespace {

struct SqliteText {
  int code;
  const char* text;
};

// The French words for SQLite's result codes: the extended codes that say more than
// their primary code, then the primary codes. SQLITE_ERROR is not here: its message
// (an SQL error: a missing table, a syntax error) is all there is to say.
constexpr SqliteText kSqliteTexts[] = {
    {SQLITE_BUSY_RECOVERY, "le fichier est occupé : un autre programme le remet en état"},
    {SQLITE_BUSY_SNAPSHOT, "le fichier a changé pendant l'opération (un autre programme y a écrit)"},
    {SQLITE_LOCKED_SHAREDCACHE, "le fichier est verrouillé par une autre connexion du programme"},
    {SQLITE_READONLY_RECOVERY, "le fichier doit être remis en état, mais n'est accessible qu'en lecture"},
    {SQLITE_READONLY_CANTLOCK, "impossible de verrouiller le fichier, accessible en lecture seulement"},
    {SQLITE_READONLY_ROLLBACK, "le fichier a un journal à rejouer, mais n'est accessible qu'en lecture"},
    {SQLITE_READONLY_DBMOVED, "le fichier a été déplacé ou supprimé pendant qu'il servait"},
    {SQLITE_READONLY_CANTINIT, "impossible de préparer le fichier annexe -shm, accessible en lecture seulement"},
    {SQLITE_READONLY_DIRECTORY, "le dossier du fichier n'est accessible qu'en lecture"},
    {SQLITE_IOERR_READ, "erreur de lecture sur le disque"},
    {SQLITE_IOERR_SHORT_READ, "lecture incomplète : le fichier est plus court que prévu"},
    {SQLITE_IOERR_WRITE, "erreur d'écriture sur le disque"},
    {SQLITE_IOERR_FSYNC, "impossible de vider le fichier sur le disque"},
    {SQLITE_IOERR_DIR_FSYNC, "impossible de vider le dossier sur le disque"},
    {SQLITE_IOERR_TRUNCATE, "impossible de raccourcir le fichier"},
    {SQLITE_IOERR_FSTAT, "impossible de lire l'état du fichier"},
    {SQLITE_IOERR_UNLOCK, "impossible de déverrouiller le fichier"},
    {SQLITE_IOERR_RDLOCK, "impossible de verrouiller le fichier en lecture"},
    {SQLITE_IOERR_LOCK, "impossible de verrouiller le fichier"},
    {SQLITE_IOERR_CHECKRESERVEDLOCK, "impossible de lire les verrous du fichier"},
    {SQLITE_IOERR_DELETE, "impossible de supprimer un fichier annexe"},
    {SQLITE_IOERR_DELETE_NOENT, "un fichier annexe à supprimer a disparu"},
    {SQLITE_IOERR_NOMEM, "mémoire insuffisante"},
    {SQLITE_IOERR_ACCESS, "impossible de vérifier l'accès au fichier"},
    {SQLITE_IOERR_CLOSE, "impossible de fermer le fichier"},
    {SQLITE_IOERR_SHMOPEN, "impossible d'ouvrir le fichier annexe -shm"},
    {SQLITE_IOERR_SHMSIZE, "impossible d'agrandir le fichier annexe -shm"},
    {SQLITE_IOERR_SHMLOCK, "impossible de verrouiller le fichier annexe -shm"},
    {SQLITE_IOERR_SHMMAP, "impossible de projeter en mémoire le fichier annexe -shm"},
    {SQLITE_IOERR_SEEK, "impossible de se placer dans le fichier"},
    {SQLITE_IOERR_MMAP, "impossible de projeter le fichier en mémoire"},
    {SQLITE_IOERR_CORRUPTFS, "le système de fichiers a rendu des données abîmées"},
    {SQLITE_IOERR_DATA, "une page du fichier est abîmée (somme de contrôle fausse)"},
    {SQLITE_CORRUPT_INDEX, "un index du fichier est abîmé"},
    {SQLITE_CORRUPT_SEQUENCE, "la table des séquences du fichier est abîmée"},
    {SQLITE_CANTOPEN_ISDIR, "c'est un dossier, pas un fichier"},
    {SQLITE_CANTOPEN_FULLPATH, "impossible de trouver le chemin complet du fichier"},
    {SQLITE_CANTOPEN_NOTEMPDIR, "aucun dossier pour les fichiers temporaires"},
    {SQLITE_CANTOPEN_SYMLINK, "le chemin passe par un lien symbolique"},
    {SQLITE_CONSTRAINT_PRIMARYKEY, "un enregistrement de cette clé est déjà dans le fichier"},
    {SQLITE_CONSTRAINT_UNIQUE, "un enregistrement de cette clé est déjà dans le fichier"},
    {SQLITE_CONSTRAINT_NOTNULL, "une valeur manque à l'enregistrement"},
    {SQLITE_CONSTRAINT_CHECK, "l'enregistrement est refusé par une contrainte du fichier"},
    {SQLITE_CONSTRAINT_FOREIGNKEY, "l'enregistrement est refusé par une clé étrangère du fichier"},
    {SQLITE_CONSTRAINT_TRIGGER, "l'enregistrement est refusé par un déclencheur du fichier"},
    {SQLITE_ABORT_ROLLBACK, "opération abandonnée avec sa transaction"},
    {SQLITE_AUTH_USER, "utilisateur non autorisé"},
    {SQLITE_INTERNAL, "erreur interne de SQLite"},
    {SQLITE_PERM, "accès refusé"},
    {SQLITE_ABORT, "opération abandonnée"},
    {SQLITE_BUSY, "le fichier est resté occupé par d'autres programmes"},
    {SQLITE_LOCKED, "le fichier est verrouillé par une autre opération"},
    {SQLITE_NOMEM, "mémoire insuffisante"},
    {SQLITE_READONLY, "le fichier n'est accessible qu'en lecture"},
    {SQLITE_INTERRUPT, "opération interrompue"},
    {SQLITE_IOERR, "erreur d'entrée-sortie sur le disque"},
    {SQLITE_CORRUPT, "le fichier est abîmé"},
    {SQLITE_FULL, "le disque est plein"},
    {SQLITE_CANTOPEN, "impossible d'ouvrir le fichier"},
    {SQLITE_PROTOCOL, "les verrous du fichier changent sans cesse (trop de programmes à la fois)"},
    {SQLITE_SCHEMA, "les tables du fichier ont changé pendant l'opération"},
    {SQLITE_TOOBIG, "donnée trop grande pour SQLite"},
    {SQLITE_CONSTRAINT, "l'enregistrement est refusé par une contrainte du fichier"},
    {SQLITE_MISMATCH, "une donnée du fichier n'est pas du type attendu"},
    {SQLITE_MISUSE, "SQLite a été mal appelé"},
    {SQLITE_NOLFS, "fichier trop grand pour ce système"},
    {SQLITE_AUTH, "autorisation refusée"},
    {SQLITE_RANGE, "paramètre hors limites"},
    {SQLITE_NOTADB, "ce n'est pas une base SQLite"},
};

const char* sqlite_text(int code) {
  for (const SqliteText& known : kSqliteTexts) {
    if (known.code == code) return known.text;
  }
  return nullptr;
}

// The URI of a path, with immutable=1 for a file read as it stands.
std::string uri_of(const std::string& path, bool immutable) {
  std::string uri = "file:";
  if (path.front() != '/') uri += "./";  // keeps a relative name from reading as an authority
  for (const char c : path) {
    if (std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/-._~", c) != nullptr) {
      uri += c;
    } else {
      uri += '%';
      append_hexadecimal(uri, std::string_view(&c, 1));
    }
  }
  return immutable ? uri + "?immutable=1" : uri;
}

}  // namespace

FileStatus status_of_sqlite(sqlite3* db, int rc) {
  switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return FileStatus::kOk;
    case SQLITE_CONSTRAINT:
      return rc == SQLITE_CONSTRAINT_PRIMARYKEY || rc == SQLITE_CONSTRAINT_UNIQUE ? FileStatus::kDuplicateKey
                                                                                  : FileStatus::kFailed;
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_READONLY:
      return FileStatus::kDenied;
    case SQLITE_CANTOPEN:
      return db != nullptr ? status_of_errno(sqlite3_system_errno(db)) : FileStatus::kFailed;
    case SQLITE_NOTADB:
      return FileStatus::kWrongShape;
    default:
      return FileStatus::kFailed;
  }
}

std::string sqlite_reason(int rc, std::string_view message, int system_error) {
  const char* text = sqlite_text(rc);
  if (text == nullptr) text = sqlite_text(rc & 0xff);
  if (text == nullptr) return unknown_reason("erreur de SQLite", "code " + std::to_string(rc), message);
  std::string reason = text;
  // What the system said is what went wrong for an open or a read or write.
  const int primary = rc & 0xff;
  if ((primary == SQLITE_CANTOPEN || primary == SQLITE_IOERR) && system_error != 0) {
    reason += " (" + errno_reason(system_error) + ")";
  }
  return reason;
}

Result sqlite_failure(sqlite3* db, int rc) {
  const FileStatus status = status_of_sqlite(db, rc);
  if (status == FileStatus::kDuplicateKey) return failure(status);
  if (db == nullptr) return failure(status, sqlite_reason(rc, sqlite3_errstr(rc), 0));
  return failure(status, sqlite_reason(rc, sqlite3_errmsg(db), sqlite3_system_errno(db)));
}

Result connect_to(const std::string& path, bool can_write, sqlite3** db) {
  const bool as_it_stands = !can_write && !exists(resolved(path) + "-wal");
  const int flags = (can_write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX |
                    SQLITE_OPEN_EXRESCODE;
  const int rc = sqlite3_open_v2(uri_of(path, as_it_stands).c_str(), db, flags, nullptr);
  if (rc == SQLITE_OK) return {};
  Result result = sqlite_failure(*db, rc);
  sqlite3_close(*db);
  *db = nullptr;
  return result;
}

Result execute(sqlite3* db, const std::string& sql) {
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  return rc == SQLITE_OK ? Result{} : sqlite_failure(db, rc);
}

std::string key_table_text(const FileShape& shape) {
  const std::string text = describe(shape);
  return text.substr(text.find(' ') + 1);
}

std::string key_expression(const KeyShape& key) {
  return "substr(record, " + std::to_string(key.offset + 1) + ", " + std::to_string(key.length) + ")";
}

// The records are kept whole in a table in the order they were written, so that a new
// record goes to the table's last page; each key is an index over the key's bytes of
// the record. An insert then changes one page of the table, which the inserts before
// it changed too, and one page of each index, whose entries are a key and a row
// number: the pages an insert may change wherever its keys fall are the indexes' small
// entries rather than whole records, and they are what a file of any size must
// rewrite.
std::string schema(const FileShape& shape) {
  std::string sql = "CREATE TABLE layout(record_length INTEGER NOT NULL, key_table TEXT NOT NULL);";
  sql += "INSERT INTO layout VALUES(" + std::to_string(shape.record_length) + ", '" + key_table_text(shape) + "');";
  sql += "CREATE TABLE records(record BLOB NOT NULL);";
  for (size_t k = 0; k < shape.keys.size(); ++k) {
    sql += std::string("CREATE ") + (shape.keys[k].duplicates ? "" : "UNIQUE ") + "INDEX records_key" +
           std::to_string(k) + " ON records(" + key_expression(shape.keys[k]) + ");";
  }
  sql += "PRAGMA application_id = " + std::to_string(static_cast<int32_t>(kSqliteApplicationId)) + ";";
  sql += "PRAGMA user_version = " + std::to_string(static_cast<int32_t>(shape_mark(shape))) + ";";
  return sql;
}

Result empty_file_image(const FileShape& shape, std::vector<unsigned char>* image) {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_MEMORY, nullptr);
  Result result = rc == SQLITE_OK ? execute(db, schema(shape)) : sqlite_failure(db, rc);
  if (result.ok()) {
    sqlite3_int64 size = 0;
    unsigned char* bytes = sqlite3_serialize(db, "main", &size, 0);
    if (bytes != nullptr && size >= static_cast<sqlite3_int64>(kHeaderSize)) {
      image->assign(bytes, bytes + size);
      (*image)[kWriteVersionAt] = kWalFormat;
      (*image)[kReadVersionAt] = kWalFormat;
    } else {
      result = failure(FileStatus::kFailed, "impossible de préparer le fichier vide");
    }
    sqlite3_free(bytes);
  }
  sqlite3_close(db);
  return result;
}

}  // namespace storage::sqlite
