// Character sets of the console, as the runtime calls them: the library's (charset/)
// under the runtime's names, and the variable that forces a set, which the program names
// at its start (rt::init with its Usage) since the runtime knows no program's words.
#pragma once

#include "charset/charset.h"

namespace rt {

using charset::Charset;
using charset::decode_utf8;
using charset::encode;
using charset::kMaxEncodedLength;
using charset::locale_charset;

// Names the environment variable that forces the console's character set (null: none).
void name_charset_variable(const char* variable);

// The set the named variable forces: true with *set when it names one; false when
// no variable was named, or it is unset, empty or names none (the set is then decided as
// usual).
bool forced_charset(Charset* set);

}  // namespace rt
