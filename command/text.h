// Character sets of the fleet command. Stored text is Latin-1 bytes; what people read
// (tables, messages, help) is written in the locale's character set, UTF-8 or Latin-1,
// to a terminal and to a file alike; CSV, JSON and HTML are always UTF-8. The
// command's own words are written in UTF-8 in the source and converted on the way out.
#pragma once

#include <string>
#include <string_view>

namespace fleet::text {

enum class Charset { kUtf8, kLatin1 };

// The locale's character set: UTF-8 when setlocale(LC_CTYPE, "") names it, or, when
// that locale is not installed, when the first set of LC_ALL, LC_CTYPE and LANG does.
Charset locale_charset();

// Stored Latin-1 bytes as people read them: control bytes (C0, DEL, C1) in the caret
// notation of cat -v (^[ for ESC, ^? for DEL, M-^[ for 0x9B), never raw, and the rest
// in charset.
std::string shown(std::string_view latin1, Charset charset);

// The columns text in charset takes on a terminal (one per character).
size_t columns(std::string_view text, Charset charset);

// The command's own words (UTF-8) in charset; a character outside Latin-1 becomes '?'.
std::string words(std::string_view utf8, Charset charset);

// Appends Latin-1 bytes as UTF-8.
void append_utf8(std::string& out, std::string_view latin1);

// UTF-8 text as Latin-1 bytes; false when it is not valid UTF-8 or holds a character
// outside Latin-1.
bool to_latin1(std::string_view utf8, std::string* latin1);

}  // namespace fleet::text
