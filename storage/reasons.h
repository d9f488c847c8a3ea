// The reasons a storage gives for a failure of the system or of a library, in French:
// the words for the usual codes come from tables (errno here; SQLite's result codes
// beside where the SQLite storage reads them, in sqlite/database.h; SQLSTATEs and the
// client library's connection failures in postgres/connection.h). A code no table knows
// keeps the library's own text, after French words that say whose it is.
//
//   errno_reason(ENOSPC)  -> "plus de place sur le disque"
//   errno_reason(4242)    -> "erreur du système (errno 4242 : Unknown error 4242)"
#pragma once

#include <string>
#include <string_view>

namespace storage {

// The French words for the errno of a failed system call.
std::string errno_reason(int error);

// The reason for a code no table knows: words, then the code and the library's own
// text ("erreur du serveur (SQLSTATE XX000 : ...)"); text may be empty.
std::string unknown_reason(std::string_view words, std::string_view code, std::string_view text);

}  // namespace storage
