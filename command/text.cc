// Character sets: the locale's choice, caret notation, and the two conversions.
#include "command/text.h"

#include <langinfo.h>
#include <locale.h>

#include <cstdlib>
#include <cstring>

namespace fleet::text {
namespace {

bool names_utf8(const char* name) {
  if (name == nullptr) return false;
  return std::strstr(name, "UTF-8") != nullptr || std::strstr(name, "utf-8") != nullptr ||
         std::strstr(name, "UTF8") != nullptr || std::strstr(name, "utf8") != nullptr;
}

}  // namespace

Charset locale_charset() {
  if (const char* set = ::setlocale(LC_CTYPE, "")) {
    const bool utf8 = names_utf8(::nl_langinfo(CODESET));
    ::setlocale(LC_CTYPE, set);
    return utf8 ? Charset::kUtf8 : Charset::kLatin1;
  }
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return names_utf8(value) ? Charset::kUtf8 : Charset::kLatin1;
  }
  return Charset::kLatin1;
}

std::string shown(std::string_view latin1, Charset charset) {
  std::string out;
  out.reserve(latin1.size());
  for (const char c : latin1) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80 && byte < 0xA0) {  // C1: as cat -v, the C0 mark after M-
      out += "M-";
      byte = static_cast<unsigned char>(byte - 0x80);
    }
    if (byte < 0x20) {
      out += '^';
      out += static_cast<char>(byte + 0x40);
    } else if (byte == 0x7F) {
      out += "^?";
    } else if (byte >= 0x80 && charset == Charset::kUtf8) {
      out += static_cast<char>(0xC0 | byte >> 6);
      out += static_cast<char>(0x80 | (byte & 0x3F));
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

size_t columns(std::string_view text, Charset charset) {
  if (charset == Charset::kLatin1) return text.size();
  size_t count = 0;
  for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

std::string words(std::string_view utf8, Charset charset) {
  if (charset == Charset::kUtf8) return std::string(utf8);
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    if (byte < 0x80) {
      out += utf8[i++];
    } else if ((byte == 0xC2 || byte == 0xC3) && i + 1 < utf8.size()) {
      out += static_cast<char>((byte & 0x1F) << 6 | (static_cast<unsigned char>(utf8[i + 1]) & 0x3F));
      i += 2;
    } else {
      out += '?';
      for (++i; i < utf8.size() && (static_cast<unsigned char>(utf8[i]) & 0xC0) == 0x80;) ++i;
    }
  }
  return out;
}

void append_utf8(std::string& out, std::string_view latin1) {
  for (const char c : latin1) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | byte >> 6);
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
}

bool to_latin1(std::string_view utf8, std::string* latin1) {
  latin1->clear();
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    if (byte < 0x80) {
      *latin1 += utf8[i];
      continue;
    }
    // Only C2 and C3 lead the characters of Latin-1; anything else is outside it or
    // not UTF-8 at all.
    if ((byte != 0xC2 && byte != 0xC3) || i + 1 == utf8.size() ||
        (static_cast<unsigned char>(utf8[i + 1]) & 0xC0) != 0x80) {
      return false;
    }
    *latin1 += static_cast<char>((byte & 0x1F) << 6 | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
  }
  return true;
}

}  // namespace fleet::text
