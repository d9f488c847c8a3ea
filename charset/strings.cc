// The string forms of the conversions, for the commands and the web server. They live
// apart from charset.cc so that a program of the runtime, which calls only the buffer
// forms, links none of std::string's code (and the exception machinery behind it).
#include "charset/charset.h"

namespace charset {

std::string shown(std::string_view latin1, Charset set) {
  std::string out(latin1.size() * kMaxEncodedLength, '\0');
  out.resize(encode(latin1, set == Charset::kUtf8, true, out.data()));
  return out;
}

std::string utf8_of(std::string_view latin1) {
  std::string out(latin1.size() * 2, '\0');
  out.resize(encode(latin1, true, false, out.data()));
  return out;
}

std::string harmless(std::string_view bytes) {
  std::string out(bytes.size() * kMaxEncodedLength, '\0');
  out.resize(harmless_utf8(bytes, out.data()));
  return out;
}

bool to_latin1(std::string_view utf8, std::string* latin1) {
  latin1->assign(utf8.size(), '\0');
  size_t length = 0;
  const bool done = to_latin1(utf8, latin1->data(), &length);
  latin1->resize(done ? length : 0);
  return done;
}

}  // namespace charset
