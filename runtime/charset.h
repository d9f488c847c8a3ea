// Character sets of the console. The programs' texts and fields hold Latin-1 bytes, one
// byte a character; a terminal may read and write UTF-8 instead. These functions decide
// which set the console speaks and turn text from one into the other, so that what a
// field holds is the same whatever the terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace rt {

enum class Charset : uint8_t { kLatin1, kUtf8 };

// The environment variable that forces the console's character set, on terminals and
// pipes alike: utf-8 (or utf8) and latin1 (or latin-1, iso-8859-1, iso8859-1), in any case.
inline constexpr char kCharsetVariable[] = "FLEET_CHARSET";

// The set the variable forces: true with *charset set when it names one; false when it is
// unset, empty or names none (the set is then decided as usual).
bool forced_charset(Charset* charset);

// The character set of the locale the environment asks for (LC_ALL, LC_CTYPE, LANG, as
// setlocale sees them): UTF-8 or not. When that locale is not installed, the first of
// those variables that is set decides, by naming UTF-8 (or utf8) or not. The process's own
// locale stays "C", so nothing else in the runtime depends on the environment's.
Charset locale_charset();

// The most bytes encode writes for one byte of text.
inline constexpr size_t kMaxEncodedLength = 4;

// Writes latin1 to out (room for kMaxEncodedLength bytes per byte) as the console shows
// it and returns the length written: with marks, control bytes (C0, DEL, C1) in caret
// notation as cat -v shows them (^[ for ESC, ^? for DEL, M-^[ for 0x9B), so that no
// field's contents can drive a terminal; with utf8, every other byte above 0x7F as its
// UTF-8 character.
size_t encode(std::string_view latin1, bool utf8, bool marks, char* out);

// Writes typed UTF-8 text to out (room for text.size() bytes) as Latin-1 and returns the
// length written: a character of the Latin-1 range becomes its byte, any other character
// '?', and bytes that are not well-formed UTF-8 are kept as they are.
size_t decode_utf8(std::string_view text, char* out);

}  // namespace rt
