// The command's words in the set people read, and the columns of a table.
#include "operations/text.h"

namespace fleet::text {

size_t columns(std::string_view utf8) {
  size_t count = 0;
  for (const char c : utf8) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

std::string words(std::string_view utf8, Charset set) {
  if (set == Charset::kUtf8) return std::string(utf8);
  std::string out(utf8.size(), '\0');
  out.resize(charset::decode_utf8(utf8, out.data()));
  return out;
}

}  // namespace fleet::text
