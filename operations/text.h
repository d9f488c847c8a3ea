// The fleet command's own text, on the character-set library (charset/): its words,
// written in UTF-8 in the source, in the set people read (the locale's, or the one
// FLEET_CHARSET forces), and the columns a text takes in a table. Stored Latin-1 and
// bytes from files or input are made UTF-8 and harmless by the library first.
#pragma once

#include <string>
#include <string_view>

#include "charset/charset.h"

namespace fleet::text {

using charset::Charset;

// The columns UTF-8 text takes on a terminal (one per character).
size_t columns(std::string_view utf8);

// The command's own words (UTF-8) in set; a character outside Latin-1 becomes '?'.
std::string words(std::string_view utf8, Charset set);

}  // namespace fleet::text
