#include "runtime/arith.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct AddCase {
  const char* before;
  int option;
  const char* after;
  bool size_error;
};

TEST(Add, StoreOptions) {
  const AddCase cases[] = {
      {"07", 2, "08", false}, {"98", 2, "99", false}, {"99", 2, "99", true},
      {"99", 4, "00", true},  {"99", 0, "99", true},  {"00", 4, "01", false},
  };
  for (const AddCase& c : cases) {
    char storage[2];
    std::memcpy(storage, c.before, 2);
    EXPECT_EQ(rt::add(rt::numeric<2>(storage), rt::number("1"), c.option), c.size_error) << c.before;
    EXPECT_EQ(std::string(storage, 2), c.after) << c.before << " option " << c.option;
  }
}

TEST(Sub, BelowZeroIsASizeError) {
  const AddCase cases[] = {
      {"2", 2, "1", false},
      {"1", 2, "0", false},
      {"0", 2, "0", true},
      {"0", 4, "1", true},
  };
  for (const AddCase& c : cases) {
    char storage[1];
    std::memcpy(storage, c.before, 1);
    EXPECT_EQ(rt::sub(rt::numeric<1>(storage), rt::number("1"), c.option), c.size_error) << c.before;
    EXPECT_EQ(std::string(storage, 1), c.after) << c.before;
  }
}

struct DivCase {
  const char* dividend;
  const char* divisor;
  const char* quotient;
  const char* remainder;  // in a 1-digit field that held '7' before
};

TEST(Division, QuotientAndRemainderUnderOptionTwo) {
  const DivCase cases[] = {
      {"11", "05", "02", "1"}, {"10", "05", "02", "0"}, {"01", "07", "00", "1"},
      {"00", "05", "00", "0"}, {"29", "15", "01", "7"},                           // remainder 14 does not fit: kept
      {"25", "12", "02", "1"}, {"99", "01", "99", "0"}, {"07", "00", "33", "7"},  // by zero
  };
  for (const DivCase& c : cases) {
    char dividend[2], divisor[2], quotient[2] = {'3', '3'}, remainder[1] = {'7'};
    std::memcpy(dividend, c.dividend, 2);
    std::memcpy(divisor, c.divisor, 2);
    rt::div_quotient(rt::numeric<2>(dividend), rt::numeric<2>(divisor), rt::numeric<2>(quotient), 2);
    rt::div_remainder(rt::numeric<1>(remainder), 2);
    EXPECT_EQ(std::string(quotient, 2), c.quotient) << c.dividend << "/" << c.divisor;
    EXPECT_EQ(std::string(remainder, 1), c.remainder) << c.dividend << "/" << c.divisor;
  }
}

TEST(Division, ByZeroKeepsBothFieldsAndReportsSizeError) {
  char dividend[2] = {'4', '2'}, zero[1] = {'0'}, quotient[2] = {'1', '2'}, remainder[1] = {'3'};
  EXPECT_TRUE(rt::div_quotient(rt::numeric<2>(dividend), rt::numeric<1>(zero), rt::numeric<2>(quotient), 2));
  EXPECT_TRUE(rt::div_remainder(rt::numeric<1>(remainder), 2));
  EXPECT_EQ(std::string(quotient, 2), "12");
  EXPECT_EQ(std::string(remainder, 1), "3");
}

TEST(Store, RoundingHalfAwayFromZero) {
  struct Case {
    __int128 units;
    int scale;
    int option;
    const char* stored;
  } cases[] = {
      {15, 1, 3, "02"},   {25, 1, 3, "03"},  {14, 1, 3, "01"},
      {15, 1, 2, "01"},   {995, 1, 3, "99"},  // 99.5 rounds to 100: size error keeps the field
      {1234, 2, 3, "12"},
  };
  for (const Case& c : cases) {
    char storage[2] = {'9', '9'};
    rt::store({c.units, c.scale}, rt::numeric<2>(storage), c.option);
    EXPECT_EQ(std::string(storage, 2), c.stored) << static_cast<long>(c.units);
  }
}

TEST(Compare, DigitsAgainstAnInteger) {
  EXPECT_EQ(rt::cmp_numdisp("8", 1, 8), 0);
  EXPECT_LT(rt::cmp_numdisp("7", 1, 8), 0);
  EXPECT_GT(rt::cmp_numdisp("256", 3, 255), 0);
  EXPECT_EQ(rt::cmp_numdisp("000", 3, 0), 0);
  EXPECT_EQ(rt::get_numdisp("042", 3), 42);
  EXPECT_EQ(rt::get_numdisp("999999", 6), 999999);
}

}  // namespace
