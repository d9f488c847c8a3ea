// The PostgreSQL client library, loaded with dlopen at the first open of a PostgreSQL
// file: its functions that this storage calls, found by name, so that no program links
// it and one that only uses local files never loads it. And a result of it, cleared
// when it goes.
#pragma once

#include <libpq-fe.h>  // for its types and constants: every call goes through Libpq

#include <string>
#include <string_view>

namespace storage {

struct Libpq {
  decltype(&PQconnectStartParams) connect_start;
  decltype(&PQconnectPoll) connect_poll;
  decltype(&PQconninfo) conninfo;
  decltype(&PQconninfoFree) conninfo_free;
  decltype(&PQsocket) socket;
  decltype(&PQstatus) status;
  decltype(&PQconnectionNeedsPassword) needs_password;
  decltype(&PQerrorMessage) error_message;
  decltype(&PQsetErrorVerbosity) set_error_verbosity;
  decltype(&PQsetNoticeProcessor) set_notice_processor;
  decltype(&PQconsumeInput) consume_input;
  decltype(&PQfinish) finish;
  decltype(&PQsetnonblocking) set_nonblocking;
  decltype(&PQsendQuery) send_query;
  decltype(&PQsendQueryParams) send_query_params;
  decltype(&PQflush) flush;
  decltype(&PQisBusy) is_busy;
  decltype(&PQgetResult) get_result;
  decltype(&PQbackendPID) backend_pid;
  decltype(&PQresultStatus) result_status;
  decltype(&PQresultErrorField) result_error_field;
  decltype(&PQntuples) ntuples;
  decltype(&PQgetvalue) get_value;
  decltype(&PQgetlength) get_length;
  decltype(&PQclear) clear;
};

// The library of that name, loaded at the first call and kept for the rest of the
// process; nullptr with reason set when it cannot be loaded or lacks a function.
const Libpq* load_libpq(const char* name, std::string* reason);

// A result of the client library, cleared when it goes.
class PgResult {
 public:
  PgResult(const Libpq& pq, PGresult* result) : pq_(pq), result_(result) {}
  PgResult(const PgResult&) = delete;
  PgResult& operator=(const PgResult&) = delete;
  ~PgResult() {
    if (result_ != nullptr) pq_.clear(result_);
  }

  PGresult* get() const { return result_; }
  int rows() const { return result_ != nullptr ? pq_.ntuples(result_) : 0; }
  std::string_view value(int row, int column) const {
    return {pq_.get_value(result_, row, column), static_cast<size_t>(pq_.get_length(result_, row, column))};
  }

 private:
  const Libpq& pq_;
  PGresult* result_;
};

}  // namespace storage
