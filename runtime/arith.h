// Arithmetic on numeric display fields: add, subtract, division with remainder,
// comparison and value, each store under a store option.
//
// Store option bits: 1 rounds to the receiving field's decimal places (a half away
// from zero); 2 keeps the receiving field on a size error; 4 drops the high-order
// digits that do not fit. A size error is a result whose whole part has more digits
// than the field holds, a negative result (the fields carry no sign), or a division
// by zero.
#pragma once

#include <cstdint>

#include "runtime/field.h"

namespace rt {

inline constexpr int kRound = 1;
inline constexpr int kKeepOnSizeError = 2;
inline constexpr int kTruncateOnSizeError = 4;

// A value with decimal places: units / 10^scale.
struct Scaled {
  __int128 units;
  int scale;
};

// The value of a numeric display item (a byte that is not a digit counts as 0).
Scaled value_of(Item field);

// Stores value into a numeric display field under the store option; returns true on a
// size error.
bool store(Scaled value, const Field& destination, int option);

// f1 := f1 + f2 and f1 := f1 - f2.
bool add(const Field& f1, Item f2, int option);
bool sub(const Field& f1, Item f2, int option);

// Divides and stores the quotient, cut toward zero to the quotient field's decimal
// places; the remainder (dividend - quotient x divisor) is kept for div_remainder,
// which must follow at once. A divisor of 0 is a size error for both stores.
bool div_quotient(Item dividend, Item divisor, const Field& quotient, int option);
bool div_remainder(const Field& remainder, int option);

// Compares the whole-number value of the digits at storage with n: negative, 0 or
// positive as the field is below, equal to or above n.
int cmp_numdisp(const char* storage, uint32_t size, int64_t n);

// The whole-number value of the digits at storage.
int64_t get_numdisp(const char* storage, uint32_t size);

}  // namespace rt
