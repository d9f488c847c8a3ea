// The variable that forces the console's character set, as the program named it.
#include "runtime/charset.h"

namespace rt {

namespace {
const char* charset_variable = nullptr;
}  // namespace

void name_charset_variable(const char* variable) { charset_variable = variable; }

bool forced_charset(Charset* set) { return charset::forced_charset(charset_variable, set); }

}  // namespace rt
