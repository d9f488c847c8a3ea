#include "runtime/charset.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string encoded(const std::string& latin1, bool utf8, bool marks) {
  std::string out(latin1.size() * rt::kMaxEncodedLength, '\0');
  out.resize(rt::encode(latin1, utf8, marks, out.data()));
  return out;
}

std::string decoded(const std::string& text) {
  std::string out(text.size(), '\0');
  out.resize(rt::decode_utf8(text, out.data()));
  return out;
}

TEST(Charset, Encode) {
  struct Case {
    std::string latin1;
    bool utf8, marks;
    std::string shown;
  } cases[] = {
      {"\xC9T\xC9-42 \x1B[2J\x7F", false, false, "\xC9T\xC9-42 \x1B[2J\x7F"},  // exact
      {"\xC9t\xE9 \xFF\xA0", true, false, "\xC3\x89t\xC3\xA9 \xC3\xBF\xC2\xA0"},
      {std::string("\x00\x01\t\n\x1B\x1F\x7F", 7), false, true, "^@^A^I^J^[^_^?"},
      {"\x80\x9B\x9F", false, true, "M-^@M-^[M-^_"},
      {"\x9B\xE9 ~", true, true, "M-^[\xC3\xA9 ~"},  // marks before UTF-8
      {"\x9B", true, false, "\xC2\x9B"},             // a forced UTF-8 pipe: no marks
  };
  for (const Case& c : cases) EXPECT_EQ(encoded(c.latin1, c.utf8, c.marks), c.shown) << c.shown;
}

TEST(Charset, DecodeTypedUtf8) {
  struct Case {
    std::string typed, held;
  } cases[] = {
      {"\xC3\x89T\xC3\x89-42", "\xC9T\xC9-42"},
      {"\xC2\x80\xC2\xA0\xC3\xBF", "\x80\xA0\xFF"},              // the edges of Latin-1
      {"\xC5\x93uf \xE2\x82\xAC \xF0\x9F\x98\x80", "?uf ? ?"},   // beyond Latin-1
      {"\xE9t\xE9", "\xE9t\xE9"},                                // Latin-1 typed: as it is
      {"\xC0\x80\xC1\xBF", "\xC0\x80\xC1\xBF"},                  // overlong forms
      {"\xE0\x80\xAF\xED\xA0\x80", "\xE0\x80\xAF\xED\xA0\x80"},  // overlong, surrogate
      {"\xF4\x90\x80\x80\xF5", "\xF4\x90\x80\x80\xF5"},          // above U+10FFFF
      {"ab\xC3", "ab\xC3"},                                      // cut at the line's end
      {"\xC3\xC3\xA9", "\xC3\xE9"},                              // a lead byte alone, then é
  };
  for (const Case& c : cases) EXPECT_EQ(decoded(c.typed), c.held) << c.typed;
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

TEST(Charset, TheLocaleDecides) {
  struct Case {
    const char *lc_all, *lc_ctype, *lang;
    rt::Charset charset;
  } cases[] = {
      {nullptr, nullptr, "C.UTF-8", rt::Charset::kUtf8},
      {"C", nullptr, "C.UTF-8", rt::Charset::kLatin1},
      {nullptr, nullptr, nullptr, rt::Charset::kLatin1},
      // Not installed: the first variable set names the set.
      {nullptr, "xx_YY.utf8", "C", rt::Charset::kUtf8},
      {"xx_YY.ISO-8859-1", "C.UTF-8", nullptr, rt::Charset::kLatin1},
  };
  for (const Case& c : cases) {
    Environment environment{{"LC_ALL", c.lc_all}, {"LC_CTYPE", c.lc_ctype}, {"LANG", c.lang}};
    EXPECT_EQ(rt::locale_charset(), c.charset) << (c.lang ? c.lang : "") << (c.lc_ctype ? c.lc_ctype : "");
  }
}

TEST(Charset, TheVariableForces) {
  struct Case {
    const char* value;
    bool forced;
    rt::Charset charset;
  } cases[] = {
      {"UTF-8", true, rt::Charset::kUtf8},    {"utf8", true, rt::Charset::kUtf8},
      {"latin1", true, rt::Charset::kLatin1}, {"ISO-8859-1", true, rt::Charset::kLatin1},
      {"", false, rt::Charset::kLatin1},      {"koi8-r", false, rt::Charset::kLatin1},
      {nullptr, false, rt::Charset::kLatin1},
  };
  for (const Case& c : cases) {
    Environment environment{{rt::kCharsetVariable, c.value}};
    rt::Charset charset = rt::Charset::kLatin1;
    EXPECT_EQ(rt::forced_charset(&charset), c.forced) << (c.value ? c.value : "unset");
    EXPECT_EQ(charset, c.charset) << (c.value ? c.value : "unset");
  }
}

}  // namespace
