// The client library's loader: dlopen, then each function by name.
#include "storage/postgres/libpq.h"

#include <dlfcn.h>

#include "storage/reasons.h"

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
    // dlerror names the file first; its usual failure is a library that is not there.
    const char* error = ::dlerror();
    const std::string why = error == nullptr ? name : error;
    *reason = std::string("impossible de charger la bibliothèque cliente de PostgreSQL (paquet Debian libpq5) : ") +
              (why.find("cannot open shared object file: No such file") != std::string::npos
                   ? std::string(name) + " introuvable"
                   : unknown_reason(name, "dlopen", why));
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
    *reason = std::string("la bibliothèque cliente de PostgreSQL ") + name + " n'a pas la fonction " + missing;
    ::dlclose(library);
    return nullptr;
  }
  api = found;
  loaded = name;
  return &api;
}

}  // namespace storage
