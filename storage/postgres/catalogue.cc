// The table's name, its creation, and its checks against the catalogue.
#include "storage/postgres/catalogue.h"

#include <algorithm>
#include <vector>

#include "storage/postgres/postgres_storage.h"

namespace storage {
namespace {

std::string quoted_identifier(std::string_view name) {
  std::string quoted = "\"";
  for (const char c : name) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + '"';
}

std::string quoted_literal(std::string_view text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted + '\'';
}

// The table's columns as the catalog describes them: "key0 bytea NOT NULL, ...".
std::string column_list(const FileShape& shape) {
  std::string columns;
  for (size_t k = 0; k < shape.keys.size(); ++k) columns += key_column(k) + " bytea NOT NULL, ";
  return columns + "record bytea NOT NULL";
}

// The table's keys as find_table describes them: "PRIMARY KEY (key0), INDEX (key1)".
std::vector<std::string> key_list(const FileShape& shape) {
  std::vector<std::string> keys{"PRIMARY KEY (key0)"};
  for (size_t k = 1; k < shape.keys.size(); ++k) {
    keys.push_back((shape.keys[k].duplicates ? "INDEX (" : "UNIQUE (") + key_column(k) + ")");
  }
  return keys;
}

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

// What would make the table c (of pg_class) lose, hide or double the records stored
// in it, one line each, "n name": the hazard's number in kHazardWords and the name of
// what it is, if any; null when nothing. The text stays ASCII, whatever the server's
// character set: the words are put in hazard_text.
// A crash of the server empties an UNLOGGED table; a temporary one is another
// session's alone. A trigger or a rule can drop, move or delete a record that the
// insert then reports stored; row-level security hides records from some roles; a
// partitioned table's partitions, and the children of an inheritance, are tables this
// check never looks at, whose rows the reads show as the table's (a plate twice), and
// a parent's owner deletes a child's rows through the parent. A generated column
// takes no value from an insert. What only refuses a record loudly (a check
// constraint, a foreign key) is left to check_table.
constexpr char kHazards[] =
    "(SELECT string_agg(n::text || ' ' || name, E'\\n' ORDER BY n, name) FROM ("
    " SELECT 1, '' WHERE c.relpersistence = 'u'"
    " UNION ALL SELECT 2, '' WHERE c.relpersistence = 't'"
    " UNION ALL SELECT 3, '' WHERE c.relkind = 'p'"
    " UNION ALL SELECT 4, quote_ident(t.tgname) FROM pg_trigger t WHERE t.tgrelid = c.oid AND NOT t.tgisinternal"
    " UNION ALL SELECT 5, quote_ident(r.rulename) FROM pg_rewrite r WHERE r.ev_class = c.oid"
    " UNION ALL SELECT 6, '' WHERE c.relrowsecurity"
    " UNION ALL SELECT 7, i.inhrelid::regclass::text FROM pg_inherits i WHERE i.inhparent = c.oid"
    " UNION ALL SELECT 8, i.inhparent::regclass::text FROM pg_inherits i WHERE i.inhrelid = c.oid"
    " UNION ALL SELECT 9, quote_ident(a.attname) FROM pg_attribute a"
    "  WHERE a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped AND a.attgenerated <> ''"
    ") found(n, name))";

// Each hazard as it follows the table's name, by its number in kHazards.
constexpr const char* kHazardWords[] = {
    "",
    "est UNLOGGED : un arrêt brutal du serveur la vide",
    "est temporaire",
    "est partitionnée",
    "a le déclencheur",
    "a la règle",
    "a la sécurité par ligne (row-level security)",
    "a la table fille",
    "hérite de",
    "a la colonne générée",
};

// The hazards that kHazards found, in words, joined by " ; ".
std::string hazard_text(std::string_view found) {
  std::string text;
  while (!found.empty()) {
    const size_t end = std::min(found.find('\n'), found.size());
    const std::string_view line = found.substr(0, end);
    found.remove_prefix(std::min(end + 1, found.size()));
    const size_t space = std::min(line.find(' '), line.size());
    const std::string_view number = line.substr(0, space);
    const std::string_view name = line.substr(std::min(space + 1, line.size()));
    const size_t n = number.size() == 1 && number[0] >= '1' && number[0] <= '9' ? number[0] - '0' : 0;
    if (n == 0) {
      text += "\n" + std::string(line);  // the rest of a name that holds a line end
      continue;
    }
    text += (text.empty() ? "" : " ; ") + std::string(kHazardWords[n]) + (name.empty() ? "" : " ") + std::string(name);
  }
  return text;
}

}  // namespace

std::string postgres_table_comment(const FileShape& shape) { return "indexed file " + describe(shape); }

// The table of a declared name: the name folded to lower case.
std::string table_of(std::string_view declared_name) {
  std::string table(declared_name);
  for (char& c : table) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return quoted_identifier(table);
}

std::string key_column(size_t k) { return "key" + std::to_string(k); }

// The statements, one transaction, that make the empty table of this shape.
std::string table_definition(const std::string& table, const FileShape& shape) {
  std::string sql = "CREATE TABLE " + table + " (";
  for (size_t k = 0; k < shape.keys.size(); ++k) {
    sql += key_column(k) + " bytea NOT NULL" + (k == 0 ? " PRIMARY KEY" : "") + ", ";
  }
  sql += "record bytea NOT NULL);";
  for (size_t k = 1; k < shape.keys.size(); ++k) {
    sql += std::string("CREATE ") + (shape.keys[k].duplicates ? "" : "UNIQUE ") + "INDEX ON " + table + " (" +
           key_column(k) + ");";
  }
  return sql + "COMMENT ON TABLE " + table + " IS " + quoted_literal(postgres_table_comment(shape)) + ";";
}

Result find_table(Connection& connection, const std::string& table, const FileShape& shape, bool writes, bool* found) {
  static const std::string kLookUp =
      "SELECT c.relkind::text, coalesce(obj_description(c.oid, 'pg_class'), ''),"
      " (SELECT string_agg(a.attname || ' ' || format_type(a.atttypid, a.atttypmod)"
      "   || CASE WHEN a.attnotnull THEN ' NOT NULL' ELSE '' END, ', ' ORDER BY a.attnum)"
      "  FROM pg_attribute a WHERE a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped),"
      " has_table_privilege(c.oid, 'SELECT')::text, has_table_privilege(c.oid, 'INSERT')::text,"
      " (SELECT string_agg(d, ', ' ORDER BY d) FROM (SELECT"
      "   CASE WHEN i.indisprimary THEN 'PRIMARY KEY' WHEN i.indisunique THEN 'UNIQUE' ELSE 'INDEX' END"
      "   || ' (' || (SELECT string_agg(coalesce(a.attname, 'expression'), ', ' ORDER BY k.n)"
      "     FROM unnest(i.indkey::int2[]) WITH ORDINALITY k(attnum, n)"
      "     LEFT JOIN pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = k.attnum) || ')'"
      "   || CASE WHEN i.indpred IS NOT NULL THEN ' partiel' WHEN NOT i.indisvalid THEN ' non valide' ELSE '' END"
      "   AS d FROM pg_index i WHERE i.indrelid = c.oid) described), " +
      std::string(kHazards) + " FROM pg_class c WHERE c.oid = to_regclass($1)";
  const char* values[] = {table.c_str()};
  const PgResult result(connection.pq(), connection.run(kLookUp, {1, values}));
  Result checked = connection.check(result);
  *found = checked.ok() && result.rows() == 1;
  if (!*found) return checked;

  const std::string kind(result.value(0, 0));
  const std::string comment(result.value(0, 1));
  const std::string columns(result.value(0, 2));
  if (kind != "r" && kind != "p") return failure(FileStatus::kWrongShape, table + " n'est pas une table");
  const std::string expected = postgres_table_comment(shape);
  const std::string mark = expected.substr(0, expected.find_first_of("0123456789"));
  if (!comment.starts_with(mark)) {
    return failure(FileStatus::kWrongShape, "la table " + table + " n'est pas un fichier indexé de ces programmes");
  }
  if (comment != expected) {
    return failure(FileStatus::kWrongShape, "la table " + table + " a la longueur d'enregistrement et les clés " +
                                                comment.substr(mark.size()) + ", et non " + describe(shape));
  }
  if (columns != column_list(shape)) {
    return failure(FileStatus::kWrongShape,
                   "la table " + table + " a les colonnes (" + columns + "), et non (" + column_list(shape) + ")");
  }
  // Every key has its index; no other index refuses a record.
  const std::string indexes(result.value(0, 5));
  const std::vector<std::string> wanted = key_list(shape);
  bool fits = std::all_of(wanted.begin(), wanted.end(), [&](const std::string& key) {
    return (", " + indexes + ", ").find(", " + key + ", ") != std::string::npos;
  });
  for (size_t at = 0; fits && at < indexes.size();) {
    const size_t end = std::min(indexes.find("), ", at), indexes.size() - 1) + 1;
    const std::string index = indexes.substr(at, end - at);
    fits = index.starts_with("INDEX") || std::find(wanted.begin(), wanted.end(), index) != wanted.end();
    at = end + 2;
  }
  if (!fits) {
    return failure(FileStatus::kWrongShape,
                   "la table " + table + " a les clés (" + indexes + "), et non (" + joined(wanted) + ")");
  }
  if (const std::string_view hazards = result.value(0, 6); !hazards.empty()) {
    return failure(FileStatus::kWrongShape, "la table " + table + " " + hazard_text(hazards));
  }
  if (result.value(0, 3) != "true" || (writes && result.value(0, 4) != "true")) {
    return failure(FileStatus::kDenied, "accès refusé à la table " + table);
  }
  return {};
}

Result check_table(Connection& connection, const std::string& table, const FileShape& shape) {
  const Libpq& pq = connection.pq();
  const std::span<const KeyShape> keys = shape.keys;
  std::vector<std::string> problems;
  const char* name[] = {table.c_str()};

  const PgResult hazards(
      pq,
      connection.run("SELECT " + std::string(kHazards) + " FROM pg_class c WHERE c.oid = to_regclass($1)", {1, name}));
  if (Result result = connection.check(hazards); !result.ok()) return result;
  if (hazards.rows() == 1 && !hazards.value(0, 0).empty()) {
    problems.push_back("la table " + table + " " + hazard_text(hazards.value(0, 0)));
  }

  static constexpr char kNullable[] =
      "SELECT a.attname FROM pg_attribute a WHERE a.attrelid = to_regclass($1) AND a.attnum > 0"
      " AND NOT a.attisdropped AND NOT a.attnotnull ORDER BY a.attnum";
  const PgResult nullable(pq, connection.run(kNullable, {1, name}));
  if (Result result = connection.check(nullable); !result.ok()) return result;
  for (int row = 0; row < nullable.rows(); ++row)
    problems.push_back("la colonne " + std::string(nullable.value(row, 0)) + " accepte NULL");

  // Each key: a valid index on its column alone, unique where the key allows no
  // duplicates, the primary key's being the table's primary key.
  static constexpr char kIndexes[] =
      "SELECT pg_get_indexdef(i.indexrelid, 1, true), i.indisprimary::text, i.indisunique::text,"
      " i.indisvalid::text, i.indnatts, (i.indpred IS NULL AND i.indexprs IS NULL)::text"
      " FROM pg_index i WHERE i.indrelid = to_regclass($1)";
  const PgResult indexes(pq, connection.run(kIndexes, {1, name}));
  if (Result result = connection.check(indexes); !result.ok()) return result;
  for (size_t k = 0; k < keys.size(); ++k) {
    bool found = false;
    for (int row = 0; row < indexes.rows() && !found; ++row) {
      found = indexes.value(row, 0) == key_column(k) && indexes.value(row, 3) == "true" &&
              indexes.value(row, 4) == "1" && indexes.value(row, 5) == "true" &&
              (indexes.value(row, 1) == "true") == (k == 0) && (indexes.value(row, 2) == "true") == !keys[k].duplicates;
    }
    if (!found) {
      problems.push_back(std::string(k == 0               ? "aucune clé primaire valide"
                                     : keys[k].duplicates ? "aucun index valide"
                                                          : "aucun index unique valide") +
                         " sur " + key_column(k));
    }
  }
  for (int row = 0; row < indexes.rows(); ++row) {
    if (indexes.value(row, 2) == "true" && indexes.value(row, 1) != "true") {
      const std::string column(indexes.value(row, 0));
      bool expected_unique = false;
      for (size_t k = 1; k < keys.size(); ++k) expected_unique |= column == key_column(k) && !keys[k].duplicates;
      if (!expected_unique) {
        problems.push_back("un index unique sur " + column + " refuse des enregistrements que le fichier accepte");
      }
    }
  }
  static constexpr char kChecks[] =
      "SELECT count(*) FROM pg_constraint WHERE conrelid = to_regclass($1) AND contype IN ('c', 'f', 'x', 't')";
  const PgResult constraints(pq, connection.run(kChecks, {1, name}));
  if (Result result = connection.check(constraints); !result.ok()) return result;
  if (constraints.rows() == 1 && constraints.value(0, 0) != "0") {
    problems.push_back(std::string(constraints.value(0, 0)) +
                       (constraints.value(0, 0) == "1"
                            ? " contrainte propre qui peut refuser des enregistrements"
                            : " contraintes propres qui peuvent refuser des enregistrements"));
  }

  // Each record whole, and its keys' columns its own keys' bytes.
  std::string wrong =
      "SELECT count(*) FROM " + table + " WHERE length(record) <> " + std::to_string(shape.record_length);
  for (size_t k = 0; k < keys.size(); ++k) {
    wrong += " OR " + key_column(k) + " <> substring(record from " + std::to_string(keys[k].offset + 1) + " for " +
             std::to_string(keys[k].length) + ")";
  }
  const PgResult records(pq, connection.run(wrong));
  if (Result result = connection.check(records); !result.ok()) return result;
  if (records.rows() == 1 && records.value(0, 0) != "0") {
    problems.push_back(std::string(records.value(0, 0)) +
                       (records.value(0, 0) == "1"
                            ? " enregistrement d'une autre longueur ou dont les clés ne sont pas les siennes"
                            : " enregistrements d'une autre longueur ou dont les clés ne sont pas les leurs"));
  }

  if (problems.empty()) return {};
  std::string all;
  for (const std::string& problem : problems) all += (all.empty() ? "" : "; ") + problem;
  return failure(FileStatus::kFailed, all);
}

}  // namespace storage
