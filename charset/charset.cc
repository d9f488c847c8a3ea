// Character sets: deciding one, and converting between Latin-1 and UTF-8 into the
// caller's buffer. Nothing here allocates or throws (see charset.h).
#include "charset/charset.h"

#include <langinfo.h>
#include <locale.h>

#include <cstdlib>

namespace charset {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Whether a locale or character-set name says UTF-8: "UTF-8", "fr_FR.utf8", "fr_FR.Utf-8"...
// (string_view's substr would bring in the exception machinery, and its start-up cost.)
bool names_utf8(std::string_view name) {
  for (size_t i = 0; i + 4 <= name.size(); ++i) {
    if (same_name({name.data() + i, 4}, "utf8")) return true;
    if (i + 5 <= name.size() && same_name({name.data() + i, 5}, "utf-8")) return true;
  }
  return false;
}

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence of two bytes or more at the start of text, or
// 0 when there is none (ASCII, a lone continuation byte, an overlong form, a surrogate,
// above U+10FFFF, or cut short).
size_t sequence_length(std::string_view text) {
  const auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = at(0);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || at(1) < low || at(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (!continuation(at(i))) return 0;
  }
  return length;
}

// The Latin-1 byte of a well-formed sequence of length bytes at text, when it is a
// character of the Latin-1 range (U+0080 to U+00FF); false otherwise.
bool latin1_character(const char* text, size_t length, char* byte) {
  const auto lead = static_cast<unsigned char>(text[0]);
  if (length != 2 || lead > 0xC3) return false;
  *byte = static_cast<char>(((lead & 0x1F) << 6) | (static_cast<unsigned char>(text[1]) & 0x3F));
  return true;
}

// The length of what starts text[i]: 1 for ASCII and for a byte that starts no character.
size_t step(std::string_view text, size_t i) {
  if (static_cast<unsigned char>(text[i]) < 0x80) return 1;
  const size_t length = sequence_length({text.data() + i, text.size() - i});
  return length == 0 ? 1 : length;
}

}  // namespace

bool forced_charset(const char* variable, Charset* set) {
  const char* value = variable == nullptr ? nullptr : std::getenv(variable);
  if (value == nullptr || value[0] == '\0') return false;
  static constexpr struct {
    const char* name;
    Charset set;
  } kNames[] = {{"utf-8", Charset::kUtf8},     {"utf8", Charset::kUtf8},         {"latin1", Charset::kLatin1},
                {"latin-1", Charset::kLatin1}, {"iso-8859-1", Charset::kLatin1}, {"iso8859-1", Charset::kLatin1}};
  for (const auto& entry : kNames) {
    if (same_name(value, entry.name)) {
      *set = entry.set;
      return true;
    }
  }
  return false;
}

Charset locale_charset() {
  if (setlocale(LC_CTYPE, "") != nullptr) {
    const Charset set = names_utf8(nl_langinfo(CODESET)) ? Charset::kUtf8 : Charset::kLatin1;
    setlocale(LC_CTYPE, "C");
    return set;
  }
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] != '\0') return names_utf8(value) ? Charset::kUtf8 : Charset::kLatin1;
  }
  return Charset::kLatin1;
}

Charset chosen_charset(const char* variable) {
  Charset set;
  return forced_charset(variable, &set) ? set : locale_charset();
}

size_t encode(std::string_view latin1, bool utf8, bool marks, char* out) {
  char* const start = out;
  for (const char byte : latin1) {
    const auto c = static_cast<unsigned char>(byte);
    if (marks && c >= 0x80 && c < 0xA0) {  // C1: M- and the caret form of c - 0x80
      *out++ = 'M';
      *out++ = '-';
      *out++ = '^';
      *out++ = static_cast<char>((c - 0x80) ^ 0x40);
    } else if (marks && (c < 0x20 || c == 0x7F)) {
      *out++ = '^';
      *out++ = static_cast<char>(c ^ 0x40);
    } else if (utf8 && c >= 0x80) {
      *out++ = static_cast<char>(0xC0 | (c >> 6));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      *out++ = byte;
    }
  }
  return static_cast<size_t>(out - start);
}

size_t decode_utf8(std::string_view text, char* out) {
  char* const start = out;
  for (size_t i = 0, length; i < text.size(); i += length) {
    length = step(text, i);
    char byte = text[i];  // ASCII, or a byte that starts no character: as it is
    if (length > 1 && !latin1_character(text.data() + i, length, &byte)) byte = '?';
    *out++ = byte;
  }
  return static_cast<size_t>(out - start);
}

size_t harmless_utf8(std::string_view bytes, char* out) {
  char* const start = out;
  for (size_t i = 0, length; i < bytes.size(); i += length) {
    length = step(bytes, i);
    char byte = bytes[i];  // a byte read as Latin-1, or the Latin-1 character of a sequence
    if (length == 1 || latin1_character(bytes.data() + i, length, &byte)) {
      out += encode({&byte, 1}, true, true, out);
    } else {
      for (size_t k = 0; k < length; ++k) *out++ = bytes[i + k];
    }
  }
  return static_cast<size_t>(out - start);
}

bool to_latin1(std::string_view utf8, char* out, size_t* length) {
  char* const start = out;
  for (size_t i = 0, taken; i < utf8.size(); i += taken) {
    taken = step(utf8, i);
    char byte = utf8[i];
    const bool ascii = static_cast<unsigned char>(byte) < 0x80;
    if (!ascii && (taken == 1 || !latin1_character(utf8.data() + i, taken, &byte))) return false;
    *out++ = byte;
  }
  *length = static_cast<size_t>(out - start);
  return true;
}

}  // namespace charset
