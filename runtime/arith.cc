// Arithmetic stores and comparisons over digit characters.
#include "runtime/arith.h"

#include <cstring>

namespace rt {
namespace {

__int128 power_of_ten(int exponent) {
  __int128 result = 1;
  for (int i = 0; i < exponent; ++i) result *= 10;
  return result;
}

int digit_value(char c) { return c >= '0' && c <= '9' ? c - '0' : 0; }

// Brings a and b to the same scale.
void align(Scaled& a, Scaled& b) {
  if (a.scale < b.scale) {
    a.units *= power_of_ten(b.scale - a.scale);
    a.scale = b.scale;
  } else if (b.scale < a.scale) {
    b.units *= power_of_ten(a.scale - b.scale);
    b.scale = a.scale;
  }
}

// The division in progress between div_quotient and div_remainder.
struct Division {
  bool size_error = false;
  Scaled remainder{0, 0};
} division;

}  // namespace

Scaled value_of(Item field) {
  __int128 units = 0;
  for (uint32_t i = 0; i < field.size; ++i) units = units * 10 + digit_value(field.storage[i]);
  return {units, field.kind() == kNumericDisplay ? field.attribute->scale : 0};
}

bool store(Scaled value, const Field& destination, int option) {
  const int scale = destination.attribute->scale;
  __int128 units = value.units;
  if (value.scale > scale) {
    const __int128 divisor = power_of_ten(value.scale - scale);
    const __int128 cut = units / divisor;  // toward zero
    const __int128 rest = units % divisor;
    units = cut;
    if ((option & kRound) != 0 && 2 * (rest < 0 ? -rest : rest) >= divisor) {
      units += units < 0 || (units == 0 && rest < 0) ? -1 : 1;
    }
  } else if (value.scale < scale) {
    units *= power_of_ten(scale - value.scale);
  }

  const __int128 limit = power_of_ten(static_cast<int>(destination.size));
  const bool negative = units < 0;
  if (negative) units = -units;
  const bool size_error = negative || units >= limit;
  if (size_error) {
    if ((option & kKeepOnSizeError) != 0 || (option & kTruncateOnSizeError) == 0) {
      return true;  // the field keeps its value
    }
    units %= limit;
  }
  for (uint32_t i = destination.size; i-- > 0;) {
    destination.storage[i] = static_cast<char>('0' + static_cast<int>(units % 10));
    units /= 10;
  }
  return size_error;
}

bool add(const Field& f1, Item f2, int option) {
  Scaled a = value_of(f1);
  Scaled b = value_of(f2);
  align(a, b);
  return store({a.units + b.units, a.scale}, f1, option);
}

bool sub(const Field& f1, Item f2, int option) {
  Scaled a = value_of(f1);
  Scaled b = value_of(f2);
  align(a, b);
  return store({a.units - b.units, a.scale}, f1, option);
}

bool div_quotient(Item dividend, Item divisor, const Field& quotient, int option) {
  Scaled a = value_of(dividend);
  Scaled b = value_of(divisor);
  if (b.units == 0) {
    division = Division{true, {0, 0}};
    return true;
  }
  align(a, b);  // a / b is now the quotient of the two values
  const int q_scale = quotient.attribute->scale;
  const Scaled q{a.units * power_of_ten(q_scale) / b.units, q_scale};  // cut toward zero
  // remainder = dividend - q * divisor, at scale a.scale + q_scale
  division.remainder = {a.units * power_of_ten(q_scale) - q.units * b.units, a.scale + q_scale};
  division.size_error = store(q, quotient, option);
  return division.size_error;
}

bool div_remainder(const Field& remainder, int option) {
  if (division.size_error) return true;  // the remainder field keeps its value too
  return store(division.remainder, remainder, option);
}

int64_t get_numdisp(const char* storage, uint32_t size) {
  int64_t value = 0;
  for (uint32_t i = 0; i < size; ++i) value = value * 10 + digit_value(storage[i]);
  return value;
}

int cmp_numdisp(const char* storage, uint32_t size, int64_t n) {
  const int64_t value = get_numdisp(storage, size);
  return value < n ? -1 : value > n ? 1 : 0;
}

}  // namespace rt
