#include "runtime/decimal/decimal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// A work value for one test, set from decimal digits and a scale.
class Work {
 public:
  Work(const char* digits, int32_t scale) {
    rt::decimal_init(value);
    mpz_set_str(value.integer, digits, 10);
    value.scale = scale;
  }
  ~Work() { rt::decimal_clear(value); }
  std::string digits() const {
    std::string text(mpz_sizeinbase(value.integer, 10) + 2, '\0');
    mpz_get_str(text.data(), 10, value.integer);
    text.resize(std::strlen(text.c_str()));
    return text;
  }
  rt::Decimal value;
};

const std::string kThirds(rt::kQuotientPlaces, '3');

// A program initialised again after a cancel makes its work values ready again: they
// start from 0 and keep their storage (the sanitizer build reports any leak).
TEST(DecimalInit, AgainAfterUseStartsFromZeroAndKeepsTheStorage) {
  rt::Decimal value;
  rt::decimal_init(value);
  mpz_set_str(value.integer, "123456789012345678901234567890123456789", 10);
  value.scale = 7;
  rt::decimal_init(value);
  EXPECT_EQ(mpz_sgn(value.integer), 0);
  EXPECT_EQ(value.scale, 0);
  rt::decimal_clear(value);
  rt::decimal_clear(value);  // a second clear gives nothing back twice
}

TEST(DecimalDiv, ExactToThePlacesTheQuotientNeeds) {
  struct Case {
    const char* dividend;
    int32_t dividend_scale;
    const char* divisor;
    int32_t divisor_scale;
    std::string quotient;
    int32_t scale;
  } cases[] = {
      {"3", 0, "2", 0, "15", 1},
      {"6", 0, "3", 0, "2", 0},
      {"1", 0, "8", 0, "125", 3},
      {"10", 0, "4", 0, "25", 1},
      {"-7", 0, "2", 0, "-35", 1},
      {"7", 0, "-2", 0, "-35", 1},
      {"0", 0, "5", 0, "0", 0},
      {"15", 1, "5", 1, "3", 0},                       // 1.5 / 0.5
      {"12", 1, "4", 3, "300", 0},                     // 1.2 / 0.004: no negative scale
      {"1", 0, "3", 0, kThirds, rt::kQuotientPlaces},  // never ends: cut
      {"-1", 0, "3", 0, "-" + kThirds, rt::kQuotientPlaces},
      {"123456789012345678901234567890123456789", 0, "5", 0, "246913578024691357802469135780246913578",
       1},  // beyond 128 bits
  };
  for (const Case& c : cases) {
    Work dividend(c.dividend, c.dividend_scale);
    Work divisor(c.divisor, c.divisor_scale);
    EXPECT_FALSE(rt::decimal_div(dividend.value, divisor.value)) << c.dividend << "/" << c.divisor;
    EXPECT_EQ(dividend.digits(), c.quotient) << c.dividend << "/" << c.divisor;
    EXPECT_EQ(dividend.value.scale, c.scale) << c.dividend << "/" << c.divisor;
    EXPECT_EQ(divisor.digits(), c.divisor);  // not changed
  }
}

TEST(DecimalDiv, ByItself) {
  Work value("75", 1);
  EXPECT_FALSE(rt::decimal_div(value.value, value.value));
  EXPECT_EQ(value.digits(), "1");
  EXPECT_EQ(value.value.scale, 0);
}

TEST(DecimalDiv, ByZeroIsASizeErrorAndTheStoreKeepsTheField) {
  Work dividend("3", 0);
  Work zero("0", 2);
  EXPECT_TRUE(rt::decimal_div(dividend.value, zero.value));
  char storage[2] = {'4', '2'};
  for (int option : {2, 3, 4}) {
    EXPECT_TRUE(rt::decimal_get_field(dividend.value, rt::numeric<2>(storage), option));
    EXPECT_EQ(std::string(storage, 2), "42");
  }
  Work two("2", 0);
  EXPECT_TRUE(rt::decimal_div(dividend.value, two.value));  // still no number

  // Setting the integer and scale 0, as a program does through GMP, clears the mark.
  mpz_set_si(dividend.value.integer, 3);
  dividend.value.scale = 0;
  EXPECT_FALSE(rt::decimal_div(dividend.value, two.value));
  EXPECT_FALSE(rt::decimal_get_field(dividend.value, rt::numeric<2>(storage), 3));
  EXPECT_EQ(std::string(storage, 2), "02");
}

TEST(DecimalGetField, RoundsAHalfAwayFromZeroAndKeepsOnSizeError) {
  const std::string huge = "1" + std::string(48, '0') + "42";  // 10^50 + 42
  struct Case {
    std::string digits;
    int32_t scale;
    int option;
    const char* stored;  // in a 2-digit field that held 77
    bool size_error;
  } cases[] = {
      {"15", 1, 3, "02", false},  {"25", 1, 3, "03", false},  {"14", 1, 3, "01", false},  {"149", 2, 3, "01", false},
      {"5", 1, 3, "01", false},   {"15", 1, 2, "01", false},  {"299", 2, 2, "02", false}, {"995", 1, 3, "77", true},
      {"995", 1, 2, "99", false}, {"100", 0, 2, "77", true},  {"100", 0, 4, "00", true},  {"12345", 0, 4, "45", true},
      {"1235", 1, 5, "24", true},  // 123.5 rounds to 124, cut to its low digits
      {"-15", 1, 3, "77", true},  {"-5", 1, 3, "77", true},   {"-4", 1, 3, "00", false},  {huge, 0, 2, "77", true},
      {huge, 0, 4, "42", true},   {huge, 50, 3, "01", false},
  };
  for (const Case& c : cases) {
    Work value(c.digits.c_str(), c.scale);
    char storage[2] = {'7', '7'};
    EXPECT_EQ(rt::decimal_get_field(value.value, rt::numeric<2>(storage), c.option), c.size_error)
        << c.digits << " scale " << c.scale << " option " << c.option;
    EXPECT_EQ(std::string(storage, 2), c.stored) << c.digits << " scale " << c.scale << " option " << c.option;
  }
}

TEST(DecimalGetField, FieldWithDecimalPlaces) {
  struct Case {
    const char* dividend;
    const char* divisor;
    int option;
    const char* stored;  // in a 4-digit field with scale 2 that held 77.77
  } cases[] = {
      {"1", "3", 3, "0033"}, {"2", "3", 3, "0067"}, {"2", "3", 2, "0066"},  {"1", "8", 3, "0013"},
      {"1", "8", 2, "0012"}, {"3", "1", 3, "0300"}, {"-1", "8", 3, "7777"}, {"1", "0", 3, "7777"},
  };
  for (const Case& c : cases) {
    Work dividend(c.dividend, 0);
    Work divisor(c.divisor, 0);
    rt::decimal_div(dividend.value, divisor.value);
    char storage[4] = {'7', '7', '7', '7'};
    rt::decimal_get_field(dividend.value, rt::numeric<4, 2>(storage), c.option);
    EXPECT_EQ(std::string(storage, 4), c.stored) << c.dividend << "/" << c.divisor;
  }
}

TEST(DecimalGetField, HalfOfEveryTwoDigitSize) {
  // Any 2-digit size halved and rounded fits; an odd size rounds up.
  for (long size = 0; size <= 99; ++size) {
    Work value("0", 0);
    Work two("2", 0);
    mpz_set_si(value.value.integer, size);
    rt::decimal_div(value.value, two.value);
    char storage[2] = {'7', '7'};
    EXPECT_FALSE(rt::decimal_get_field(value.value, rt::numeric<2>(storage), 3));
    const long half = (size + 1) / 2;
    const std::string expected{static_cast<char>('0' + half / 10), static_cast<char>('0' + half % 10)};
    EXPECT_EQ(std::string(storage, 2), expected) << size;
  }
}

}  // namespace
