// The client library's loader: dlopen, then each function by name.
#include "storage/postgres/libpq.h"

#include <dlfcn.h>

namespace storage {
namespace {

template <class Function>
bool resolve(void* library, const char* name, Function* function, const char** missing) {
  *function = reinterpret_cast<Function>(::dlsym(library, name));
  if (*function == nullptr) *missing = name;
  return *function != nullptr;
}

}  // namespace

const Libpq* load_libpq(const char* name, std::string* reason) {
  static Libpq api;
  static std::string loaded;  // the name api was loaded from
  if (!loaded.empty() && loaded == name) return &api;
  void* library = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* error = ::dlerror();
    *reason = std::string("cannot load the PostgreSQL client library (Debian package libpq5): ") +
              (error != nullptr ? error : name);
    return nullptr;
  }
  Libpq found;
  const char* missing = nullptr;
  const bool complete =
      resolve(library, "PQconnectStartParams", &found.connect_start, &missing) &&
      resolve(library, "PQconnectPoll", &found.connect_poll, &missing) &&
      resolve(library, "PQconninfo", &found.conninfo, &missing) &&
      resolve(library, "PQconninfoFree", &found.conninfo_free, &missing) &&
      resolve(library, "PQsocket", &found.socket, &missing) && resolve(library, "PQstatus", &found.status, &missing) &&
      resolve(library, "PQconnectionNeedsPassword", &found.needs_password, &missing) &&
      resolve(library, "PQerrorMessage", &found.error_message, &missing) &&
      resolve(library, "PQsetErrorVerbosity", &found.set_error_verbosity, &missing) &&
      resolve(library, "PQsetNoticeProcessor", &found.set_notice_processor, &missing) &&
      resolve(library, "PQconsumeInput", &found.consume_input, &missing) &&
      resolve(library, "PQfinish", &found.finish, &missing) &&
      resolve(library, "PQsetnonblocking", &found.set_nonblocking, &missing) &&
      resolve(library, "PQsendQuery", &found.send_query, &missing) &&
      resolve(library, "PQsendQueryParams", &found.send_query_params, &missing) &&
      resolve(library, "PQflush", &found.flush, &missing) && resolve(library, "PQisBusy", &found.is_busy, &missing) &&
      resolve(library, "PQgetResult", &found.get_result, &missing) &&
      resolve(library, "PQbackendPID", &found.backend_pid, &missing) &&
      resolve(library, "PQresultStatus", &found.result_status, &missing) &&
      resolve(library, "PQresultErrorField", &found.result_error_field, &missing) &&
      resolve(library, "PQntuples", &found.ntuples, &missing) &&
      resolve(library, "PQgetvalue", &found.get_value, &missing) &&
      resolve(library, "PQgetlength", &found.get_length, &missing) &&
      resolve(library, "PQclear", &found.clear, &missing);
  if (!complete) {
    *reason = std::string("the PostgreSQL client library ") + name + " has no " + missing;
    ::dlclose(library);
    return nullptr;
  }
  api = found;
  loaded = name;
  return &api;
}

}  // namespace storage
