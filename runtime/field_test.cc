#include "runtime/field.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct TextCase {
  const char* typed;
  const char* stored;
};

template <uint8_t Digits, int8_t Scale>
std::string stored_text(const char* typed) {
  char storage[Digits];
  const rt::Field field = rt::numeric<Digits, Scale>(storage);
  rt::store_text(typed, std::strlen(typed), field);
  return std::string(storage, Digits);
}

TEST(StoreText, WholeNumberIntoTwoDigits) {
  const TextCase cases[] = {
      {"5", "05"},  {"12", "12"},    {"123", "23"}, {"", "00"},     {"   ", "00"},  {" 7\t", "07"}, {"+7", "07"},
      {"-7", "00"}, {"7a", "00"},    {"1 2", "00"}, {"3.9", "03"},  {".5", "00"},   {"5.", "05"},   {"+", "00"},
      {".", "00"},  {"1.2.3", "00"}, {"1,5", "00"}, {"\x01", "00"}, {"0099", "99"}, {"++1", "00"},
  };
  for (const TextCase& c : cases) EXPECT_EQ((stored_text<2, 0>(c.typed)), c.stored) << c.typed;
}

TEST(StoreText, DecimalsIntoSixDigitsScaleTwo) {
  const TextCase cases[] = {
      {"35", "003500"},  {"35.4", "003540"},     {"1234.56", "123456"}, {"12345.67", "234567"}, {"0.129", "000012"},
      {".99", "000099"}, {"9999.999", "999999"}, {"", "000000"},        {"35.40 ", "003540"},
  };
  for (const TextCase& c : cases) EXPECT_EQ((stored_text<6, 2>(c.typed)), c.stored) << c.typed;
}

TEST(Move, AlphanumericPadsAndCuts) {
  char storage[5];
  const rt::Field field = rt::alphanumeric(storage);
  rt::move(rt::literal("ab"), field);
  EXPECT_EQ(std::string(storage, 5), "ab   ");
  rt::move(rt::literal("abcdefg"), field);
  EXPECT_EQ(std::string(storage, 5), "abcde");
  rt::move(rt::literal(""), field);
  EXPECT_EQ(std::string(storage, 5), "     ");
}

TEST(Move, NumericAlignsOnTheUnitsDigit) {
  char two[2];
  char one[1];
  char costs[6];
  rt::move(rt::number("1"), rt::numeric<2>(two));
  EXPECT_EQ(std::string(two, 2), "01");
  rt::move(rt::numeric<2>(two), rt::numeric<1>(one));  // high-order digit dropped
  EXPECT_EQ(std::string(one, 1), "1");
  std::memcpy(two, "27", 2);
  rt::move(rt::numeric<2>(two), rt::numeric<1>(one));
  EXPECT_EQ(std::string(one, 1), "7");
  rt::move(rt::numeric<2>(two), rt::numeric<6, 2>(costs));
  EXPECT_EQ(std::string(costs, 6), "002700");
}

TEST(Initialize, ByKindOrLiteral) {
  char storage[9];
  const rt::Field digits = rt::numeric<3>(storage);
  const rt::Field text = rt::alphanumeric(storage + 3, 4);
  const rt::Field flag = rt::numeric<2>(storage + 7);
  rt::initialize({{digits}, {text}, {flag, rt::number("1")}});
  EXPECT_EQ(std::string(storage, 9), "000    01");
}

TEST(Element, SubscriptsCountFromOne) {
  static char table[24] = "LUNDI   MARDI   JEUDI  ";
  constexpr rt::Field first = rt::alphanumeric(table, 8);
  EXPECT_EQ(rt::element(first, 2, 8).storage, table + 8);
  EXPECT_EQ(rt::character_at(first, 1).storage, table);
  EXPECT_EQ(rt::character_at(first, 8).storage[0], ' ');
}

}  // namespace
