// Test helpers for the PostgreSQL storage: the URI of the throwaway server that the
// test fixture postgres starts (its URI file is POSTGRES_URI_FILE), and a schema of a
// test's own on it, where the test runs SQL through libpq of its own.
#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace testkit {

// The test server's URI. Without a server the calling test fails: the tests that
// need one never pass without it.
inline std::string test_server_uri() {
  std::ifstream in(POSTGRES_URI_FILE);
  std::string uri;
  std::getline(in, uri);
  if (uri.empty()) {
    ADD_FAILURE() << "no PostgreSQL test server: " << POSTGRES_URI_FILE
                  << " is missing (did the test postgres_start fail? is PostgreSQL installed?)";
  }
  return uri;
}

// The URI with one more parameter.
inline std::string with_parameter(const std::string& uri, const std::string& parameter) {
  return uri + (uri.find('?') == std::string::npos ? "?" : "&") + parameter;
}

using Rows = std::vector<std::vector<std::string>>;

// A connection as the server's superuser, closed when it goes.
class Session {
 public:
  explicit Session(const std::string& uri) : conn_(PQconnectdb(uri.c_str())) {
    if (PQstatus(conn_) != CONNECTION_OK) ADD_FAILURE() << "cannot connect to " << uri << ": " << PQerrorMessage(conn_);
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
  }
  ~Session() { PQfinish(conn_); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Runs statements and returns the rows of the last one, each cell as text, or with
  // binary (one statement only) as its bytes; a failure of the test when they fail.
  Rows sql(const std::string& statements, bool binary = false) {
    PGresult* result = binary ? PQexecParams(conn_, statements.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 1)
                              : PQexec(conn_, statements.c_str());
    Rows rows;
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
      ADD_FAILURE() << statements << ": " << PQerrorMessage(conn_);
    }
    for (int r = 0; r < PQntuples(result); ++r) {
      rows.emplace_back();
      for (int c = 0; c < PQnfields(result); ++c) {
        rows.back().emplace_back(PQgetvalue(result, r, c), static_cast<size_t>(PQgetlength(result, r, c)));
      }
    }
    PQclear(result);
    return rows;
  }

 private:
  PGconn* conn_;
};

// A schema of its own on the test server, dropped with everything in it when the
// object goes, so that tests running at once never meet.
class TestSchema {
 public:
  TestSchema() { session_.sql("CREATE SCHEMA " + name_); }
  ~TestSchema() { session_.sql("DROP SCHEMA IF EXISTS " + name_ + " CASCADE"); }
  TestSchema(const TestSchema&) = delete;
  TestSchema& operator=(const TestSchema&) = delete;

  const std::string& name() const { return name_; }
  const std::string& server() const { return server_; }
  // The server's URI with the search path set to this schema alone.
  std::string uri() const { return with_parameter(server_, "options=-csearch_path%3D" + name_); }

  // Statements run in this schema.
  Rows sql(const std::string& statements, bool binary = false) { return session_.sql(statements, binary); }

  // The records of a table of this schema, in ascending byte order of the primary key.
  std::vector<std::string> records(const std::string& table = "articles") {
    std::vector<std::string> found;
    for (const auto& row : sql("SELECT record FROM " + table + " ORDER BY key0", true)) found.push_back(row[0]);
    return found;
  }
  // The tables of this schema, by name.
  std::vector<std::string> tables() {
    std::vector<std::string> names;
    for (const auto& row : sql("SELECT tablename FROM pg_tables WHERE schemaname = '" + name_ + "' ORDER BY 1")) {
      names.push_back(row[0]);
    }
    return names;
  }

 private:
  static std::string unique_name() {
    std::random_device random;
    return "test_" + std::to_string(::getpid()) + "_" + std::to_string(random() % 1000000000);
  }

  std::string server_ = test_server_uri();
  std::string name_ = unique_name();
  Session session_{server_.empty() ? std::string("host=/nonexistent") : uri()};
};

}  // namespace testkit
