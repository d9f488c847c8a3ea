#include "runtime/text_ops.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// A field of width w inside guard bytes, so that a write outside it shows.
constexpr char kGuard = '#';
struct Guarded {
  explicit Guarded(const std::string& initial) : bytes(initial.size() + 2, kGuard) {
    std::memcpy(bytes.data() + 1, initial.data(), initial.size());
  }
  rt::Field field() { return rt::alphanumeric(bytes.data() + 1, uint32_t(bytes.size() - 2)); }
  std::string held() const { return bytes.substr(1, bytes.size() - 2); }
  bool guards_intact() const { return bytes.front() == kGuard && bytes.back() == kGuard; }
  std::string bytes;
};

struct StringCase {
  const char* name;
  std::string initial;               // the destination before the statement
  const char* pointer;               // digits of a 3-digit pointer
  std::vector<std::string> sources;  // appended in order, by size
  std::string held;                  // the destination after
  const char* pointer_after;
  bool overflow;
};

TEST(StringBuilding, PointerAndDestination) {
  const StringCase cases[] = {
      {"one character at 1", "     ", "001", {"a"}, "a    ", "002", false},
      {"one character in the middle keeps the rest", "vwxyz", "003", {"A"}, "vwAyz", "004", false},
      {"sources follow one another", ".......", "002", {"ab", "c", "de"}, ".abcde.", "007", false},
      {"trailing spaces are characters", "xxxxx", "001", {"a  "}, "a  xx", "004", false},
      {"empty source writes nothing", "xxxxx", "002", {""}, "xxxxx", "002", false},
      {"filled exactly to its end", "xxxxx", "004", {"ab"}, "xxxab", "006", false},
      {"last position alone", "xxxxx", "005", {"z"}, "xxxxz", "006", false},
      {"later characters dropped", "xxxxx", "004", {"abcd"}, "xxxab", "006", true},
      {"later sources dropped", "xxxxx", "004", {"ab", "cd"}, "xxxab", "006", true},
      {"pointer 0 writes nothing", "xxxxx", "000", {"ab"}, "xxxxx", "000", true},
      {"pointer past the end writes nothing", "xxxxx", "006", {"ab"}, "xxxxx", "006", true},
      {"Latin-1 and UTF-8 bytes are single characters",
       "    ",
       "001",
       {"\xE9", "\xC3\xA9"},
       "\xE9\xC3\xA9 ",
       "004",
       false},
  };
  for (const StringCase& c : cases) {
    Guarded destination(c.initial);
    char pointer[3];
    std::memcpy(pointer, c.pointer, 3);
    rt::string_init(destination.field(), rt::numeric<3>(pointer));
    rt::string_delimited(rt::kBySize);
    for (const std::string& source : c.sources) {
      rt::string_append({uint32_t(source.size()), source.data(), &rt::kAlphanumericAttribute});
    }
    EXPECT_EQ(rt::string_finish(), c.overflow) << c.name;
    EXPECT_EQ(destination.held(), c.held) << c.name;
    EXPECT_EQ(std::string(pointer, 3), c.pointer_after) << c.name;
    EXPECT_TRUE(destination.guards_intact()) << c.name;
  }
}

TEST(StringBuilding, WidestDestinationEndsAtWidthPlusOne) {
  // 255 one-character appends into a 255-wide field: the pointer ends at 256.
  Guarded destination(std::string(255, ' '));
  char pointer[3] = {'0', '0', '1'};
  for (int i = 0; i < 255; ++i) {
    rt::string_init(destination.field(), rt::numeric<3>(pointer));
    rt::string_delimited(rt::kBySize);
    rt::string_append(rt::literal("m"));
    EXPECT_FALSE(rt::string_finish());
  }
  EXPECT_EQ(destination.held(), std::string(255, 'm'));
  EXPECT_EQ(std::string(pointer, 3), "256");
  EXPECT_TRUE(destination.guards_intact());
}

TEST(StringBuilding, EndPositionTooWideForThePointerIsAnOverflow) {
  Guarded destination(std::string(12, '.'));
  char pointer[1] = {'9'};
  rt::string_init(destination.field(), rt::numeric<1>(pointer));
  rt::string_delimited(rt::kBySize);
  rt::string_append(rt::literal("abc"));
  EXPECT_TRUE(rt::string_finish());
  EXPECT_EQ(destination.held(), "........abc.");
  EXPECT_EQ(pointer[0], '9');  // 12 does not fit one digit: the pointer keeps its value
}

TEST(StringBuilding, DelimitedByText) {
  const struct {
    const char* source;
    const char* delimiter;
    const char* held;
  } cases[] = {
      {"ab,cd", ",", "ab    "},   {"abcd", ",", "abcd  "}, {",ab", ",", "      "},
      {"ab--cd", "--", "ab    "}, {"ab", "abc", "ab    "}, {"ab", "", "ab    "},
  };
  for (const auto& c : cases) {
    char storage[6];
    std::memset(storage, ' ', 6);
    char pointer[2] = {'0', '1'};
    const rt::Item delimiter{uint32_t(std::strlen(c.delimiter)), c.delimiter, &rt::kAlphanumericAttribute};
    rt::string_init(rt::alphanumeric(storage), rt::numeric<2>(pointer));
    rt::string_delimited(&delimiter);
    rt::string_append({uint32_t(std::strlen(c.source)), c.source, &rt::kAlphanumericAttribute});
    rt::string_finish();
    EXPECT_EQ(std::string(storage, 6), c.held) << c.source << " / " << c.delimiter;
  }
}

struct ConversionCase {
  const char* name;
  std::string initial;
  const char* after;  // null: no AFTER text, the whole field
  std::string from;
  std::string to;
  std::string held;
};

TEST(CharacterConversion, Region) {
  const ConversionCase cases[] = {
      {"whole field", "BANANE", nullptr, "AE", "  ", "B N N "},
      {"after the first character", "ABRACADABRA", "A", "A", "*", "ABR*C*D*BR*"},
      {"after its first occurrence only", "xxAxA", "A", "A", "-", "xxAx-"},
      {"after a longer text", "abcXYabc", "cX", "abc", "ABC", "abcXYABC"},
      {"after text not found: empty region", "abcabc", "z", "abc", "ABC", "abcabc"},
      {"after text longer than the field", "abc", "abcd", "abc", "ABC", "abc"},
      {"after text at the very end: empty region", "abcZ", "Z", "abcZ", "wxyz", "abcZ"},
      {"after an empty text: whole field", "abc", "", "b", "B", "aBc"},
      {"each character converted at most once", "ABCABC", nullptr, "AB", "BC", "BCCBCC"},
      {"first place of a repeated character counts", "aXa", nullptr, "aa", "12", "1X1"},
      {"only the places both tables have", "abc", nullptr, "abc", "AB", "ABc"},
      {"bytes above 0x7F", "\xE9t\xC3\xA9", nullptr, "\xE9\xA9", "eE",
       "et\xC3"
       "E"},
      {"vowels to spaces after the first", "ALEXANDRE", "A", "AEIOUYaeiouy", std::string(12, ' '), "AL X NDR "},
      {"a leading space is the AFTER text", " BOB", " ", "AEIOUYaeiouy", std::string(12, ' '), " B B"},
  };
  for (const ConversionCase& c : cases) {
    Guarded field(c.initial);
    const rt::Item from{uint32_t(c.from.size()), c.from.data(), &rt::kAlphanumericAttribute};
    const rt::Item to{uint32_t(c.to.size()), c.to.data(), &rt::kAlphanumericAttribute};
    rt::inspect_init(field.field(), 0);
    rt::inspect_start();
    if (c.after != nullptr) {
      rt::inspect_after({uint32_t(std::strlen(c.after)), c.after, &rt::kAlphanumericAttribute});
    }
    rt::inspect_converting(from, to);
    rt::inspect_finish();
    EXPECT_EQ(field.held(), c.held) << c.name;
    EXPECT_TRUE(field.guards_intact()) << c.name;
  }
}

TEST(CharacterConversion, AfterTextTakenFromTheFieldItself) {
  // The AFTER text is the field's own first character, read before anything changes.
  char word[8];
  std::memcpy(word, "eleve  e", 8);
  const rt::Field field = rt::alphanumeric(word);
  rt::inspect_init(field, 0);
  rt::inspect_start();
  rt::inspect_after(rt::character_at(field, 1));
  rt::inspect_converting(rt::literal("e"), rt::literal("E"));
  rt::inspect_finish();
  EXPECT_EQ(std::string(word, 8), "elEvE  E");
}

}  // namespace
