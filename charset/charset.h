// Character sets of people's text. Stored text and the programs' own words are Latin-1,
// one byte a character; a terminal, a message or a page may be UTF-8 instead. This is the
// one place that decides which set the environment asks for, converts between the two,
// and shows bytes of any origin harmlessly: control bytes in caret notation, as cat -v
// shows them, so that no field, file name or imported row can drive a terminal.
//
// It knows no program: the variable that forces a set is named by its caller. The first
// part allocates nothing and writes into the caller's buffer (the runtime of the
// dialogue programs calls it, and must not pull in the exception machinery of the C++
// library, whose start-up every run would pay); the string forms below it are for the
// commands and the web server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace charset {

enum class Charset : uint8_t { kLatin1, kUtf8 };

// The set the environment variable named `variable` forces: true with *set when its
// value is utf-8 (or utf8) or latin1 (or latin-1, iso-8859-1, iso8859-1), in any case;
// false when variable is null, or the variable is unset, empty or names no set.
bool forced_charset(const char* variable, Charset* set);

// The character set of the locale the environment asks for (LC_ALL, LC_CTYPE, LANG, as
// setlocale sees them): UTF-8 or not. When that locale is not installed, the first of
// those variables that is set decides, by naming UTF-8 (or utf8, in any case) or not.
// The process's own locale is "C" afterwards, so nothing else depends on the
// environment's.
Charset locale_charset();

// The set people's text is written and read in: the one variable forces, else the
// locale's.
Charset chosen_charset(const char* variable);

// The most bytes encode or harmless_utf8 write for one byte of text.
inline constexpr size_t kMaxEncodedLength = 4;

// Writes latin1 to out (room for kMaxEncodedLength bytes per byte) and returns the length
// written: with marks, control bytes (C0, DEL, C1) in caret notation (^[ for ESC, ^? for
// DEL, M-^[ for 0x9B); with utf8, every other byte above 0x7F as its UTF-8 character.
size_t encode(std::string_view latin1, bool utf8, bool marks, char* out);

// Writes typed UTF-8 text to out (room for text.size() bytes) as Latin-1 and returns the
// length written: a character of the Latin-1 range becomes its byte, any other character
// '?', and bytes that are not well-formed UTF-8 are kept as they are.
size_t decode_utf8(std::string_view text, char* out);

// Writes bytes of any origin (a file name, an imported field, an argument) to out (room
// for kMaxEncodedLength bytes per byte) as UTF-8 that is always well-formed and holds no
// control character, and returns the length written. Well-formed UTF-8 is read as such
// and any other byte as Latin-1; control characters (C0, DEL, C1, whether a byte or a
// UTF-8 character) are marked as encode marks them.
size_t harmless_utf8(std::string_view bytes, char* out);

// Writes UTF-8 text to out (room for utf8.size() bytes) as Latin-1 with *length set, or
// returns false when it is not well-formed or holds a character outside Latin-1.
bool to_latin1(std::string_view utf8, char* out, size_t* length);

// The same as strings.

// Latin-1 text as people read it in set: control bytes marked, the rest in set.
std::string shown(std::string_view latin1, Charset set);
// Latin-1 text as UTF-8, control bytes and all (for CSV and JSON, which keep them).
std::string utf8_of(std::string_view latin1);
// Bytes of any origin as harmless UTF-8 (harmless_utf8 above).
std::string harmless(std::string_view bytes);
// UTF-8 text as Latin-1; false when to_latin1 above refuses it.
bool to_latin1(std::string_view utf8, std::string* latin1);

}  // namespace charset
