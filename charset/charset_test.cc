#include "charset/charset.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace {

using charset::Charset;

enum class Way { kExact, kUtf8, kMarks, kMarksUtf8, kDecoded, kHarmless, kLatin1 };

std::string converted(Way way, const std::string& in) {
  std::string out;
  switch (way) {
    case Way::kExact:
    case Way::kUtf8:
    case Way::kMarks:
    case Way::kMarksUtf8:
      out.resize(in.size() * charset::kMaxEncodedLength);
      out.resize(charset::encode(in, way == Way::kUtf8 || way == Way::kMarksUtf8,
                                 way == Way::kMarks || way == Way::kMarksUtf8, out.data()));
      return out;
    case Way::kDecoded:
      out.resize(in.size());
      out.resize(charset::decode_utf8(in, out.data()));
      return out;
    case Way::kHarmless:
      return charset::harmless(in);
    case Way::kLatin1:
      return charset::to_latin1(in, &out) ? out : "(refused)";
  }
  return "";
}

TEST(Charset, Conversions) {
  const struct {
    Way way;
    std::string in, out;
  } cases[] = {
      // Latin-1 shown: exactly, in UTF-8, with control bytes marked.
      {Way::kExact, "\xC9T\xC9-42 \x1B[2J\x7F", "\xC9T\xC9-42 \x1B[2J\x7F"},
      {Way::kUtf8, "\xC9t\xE9 \xFF\xA0", "\xC3\x89t\xC3\xA9 \xC3\xBF\xC2\xA0"},
      {Way::kMarks, std::string("\x00\x01\t\n\x1B\x1F\x7F", 7), "^@^A^I^J^[^_^?"},
      {Way::kMarks, "\x80\x9B\x9F", "M-^@M-^[M-^_"},
      {Way::kMarksUtf8, "\x9B\xE9 ~", "M-^[\xC3\xA9 ~"},  // marks before UTF-8
      {Way::kUtf8, "\x9B", "\xC2\x9B"},                   // a forced UTF-8 pipe: no marks
      // Typed UTF-8 held as Latin-1.
      {Way::kDecoded, "\xC3\x89T\xC3\x89-42", "\xC9T\xC9-42"},
      {Way::kDecoded, "\xC2\x80\xC2\xA0\xC3\xBF", "\x80\xA0\xFF"},              // the edges of Latin-1
      {Way::kDecoded, "\xC5\x93uf \xE2\x82\xAC \xF0\x9F\x98\x80", "?uf ? ?"},   // beyond Latin-1
      {Way::kDecoded, "\xE9t\xE9", "\xE9t\xE9"},                                // Latin-1 typed: as it is
      {Way::kDecoded, "\xC0\x80\xC1\xBF", "\xC0\x80\xC1\xBF"},                  // overlong forms
      {Way::kDecoded, "\xE0\x80\xAF\xED\xA0\x80", "\xE0\x80\xAF\xED\xA0\x80"},  // overlong, surrogate
      {Way::kDecoded, "\xF4\x90\x80\x80\xF5", "\xF4\x90\x80\x80\xF5"},          // above U+10FFFF
      {Way::kDecoded, "ab\xC3", "ab\xC3"},                                      // cut at the line's end
      {Way::kDecoded, "\xC3\xC3\xA9", "\xC3\xE9"},                              // a lead byte alone, then é
      // Bytes of any origin as harmless UTF-8: UTF-8 where well-formed, Latin-1 where not.
      {Way::kHarmless, "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC"},
      {Way::kHarmless, "caf\xE9 \xC3", "caf\xC3\xA9 \xC3\x83"},
      {Way::kHarmless,
       "\x9B"
       "2J\xC2\x9B\x1B\x7F\xC2\x85",
       "M-^[2JM-^[^[^?M-^E"},                                    // C1 as a byte or a character
      {Way::kHarmless, "\xED\xA0\x80", "\xC3\xAD\xC2\xA0M-^@"},  // a surrogate: three bytes
      // UTF-8 to Latin-1, refused rather than guessed.
      {Way::kLatin1, "\xC3\x89T\xC3\x89 \xC2\x9B", "\xC9T\xC9 \x9B"},
      {Way::kLatin1, "\xE2\x82\xAC", "(refused)"},
      {Way::kLatin1, "\xE9t\xE9", "(refused)"},
      {Way::kLatin1, "\xC3", "(refused)"},
      {Way::kLatin1, "\xC1\xA9", "(refused)"},  // overlong
  };
  for (const auto& c : cases) EXPECT_EQ(converted(c.way, c.in), c.out) << static_cast<int>(c.way) << " " << c.in;
  EXPECT_EQ(charset::shown("\x1B\xC9", Charset::kLatin1), "^[\xC9");
  EXPECT_EQ(charset::utf8_of("\x1B\xC9"), "\x1B\xC3\x89");
}

// Sets the variables for one case and puts them back afterwards.
class Environment {
 public:
  Environment(std::initializer_list<std::pair<const char*, const char*>> values) {
    for (const auto& [name, value] : values) {
      const char* old = getenv(name);
      saved_.push_back({name, old != nullptr, old ? old : ""});
      if (value != nullptr)
        setenv(name, value, 1);
      else
        unsetenv(name);
    }
  }
  ~Environment() {
    for (const Saved& s : saved_) {
      if (s.was_set)
        setenv(s.name, s.value.c_str(), 1);
      else
        unsetenv(s.name);
    }
  }

 private:
  struct Saved {
    const char* name;
    bool was_set;
    std::string value;
  };
  std::vector<Saved> saved_;
};

// The variable is the caller's: the library knows none by name.
constexpr char kVariable[] = "CHARSET_TEST_FORCES";

TEST(Charset, TheVariableThenTheLocaleDecide) {
  const struct {
    const char *lc_all, *lc_ctype, *lang, *forced;
    Charset set;
  } cases[] = {
      {nullptr, nullptr, "C.UTF-8", nullptr, Charset::kUtf8},
      {"C", nullptr, "C.UTF-8", nullptr, Charset::kLatin1},
      {nullptr, nullptr, nullptr, nullptr, Charset::kLatin1},
      // Not installed: the first variable set names the set, in any case.
      {nullptr, "xx_YY.utf8", "C", nullptr, Charset::kUtf8},
      {"xx_YY.ISO-8859-1", "C.UTF-8", nullptr, nullptr, Charset::kLatin1},
      {nullptr, nullptr, "fr_FR.Utf-8", nullptr, Charset::kUtf8},
      // The variable forces, whatever the locale; a value that names no set is ignored.
      {"C", nullptr, nullptr, "UTF-8", Charset::kUtf8},
      {"C", nullptr, nullptr, "utf8", Charset::kUtf8},
      {nullptr, nullptr, "C.UTF-8", "latin1", Charset::kLatin1},
      {nullptr, nullptr, "C.UTF-8", "ISO-8859-1", Charset::kLatin1},
      {nullptr, nullptr, "C.UTF-8", "", Charset::kUtf8},
      {nullptr, nullptr, "C.UTF-8", "koi8-r", Charset::kUtf8},
  };
  for (const auto& c : cases) {
    Environment environment{{"LC_ALL", c.lc_all}, {"LC_CTYPE", c.lc_ctype}, {"LANG", c.lang}, {kVariable, c.forced}};
    EXPECT_EQ(charset::chosen_charset(kVariable), c.set)
        << (c.lc_all ? c.lc_all : "") << " " << (c.lang ? c.lang : "") << " " << (c.forced ? c.forced : "unset");
  }
  Environment utf8{{"LC_ALL", "C"}, {kVariable, "utf-8"}};
  EXPECT_EQ(charset::chosen_charset(nullptr), Charset::kLatin1) << "no variable named, none forces";
}

}  // namespace
