// Decimal work values: exact decimal numbers of any size, held as a GMP integer and a
// scale, used where a program divides and then stores the rounded result in a field.
//
// A work value lives for the whole process: decimal_init makes it ready once, before
// any other use. A program may also set it itself through GMP (mpz_set_si on integer,
// then scale 0), which is why the pair is open.
#pragma once

#include <gmp.h>

#include <cstdint>

#include "runtime/field.h"

namespace rt {

// The value is integer / 10^scale.
struct Decimal {
  mpz_t integer;
  int32_t scale;
  bool ready = false;  // integer initialised by decimal_init (and not cleared since)
};

// The scale a division by zero leaves: the work value then holds no number, and
// storing it is a size error. Setting the work value again clears the mark.
inline constexpr int32_t kNoNumber = INT32_MIN;

// Decimal places to which a quotient that never ends (a third) is cut toward zero:
// one more than any field holds, so a rounded or cut store of it is still exact.
inline constexpr int32_t kQuotientPlaces = kMaxDigits + 1;

// Makes the work value ready: integer 0, scale 0. A value already ready keeps its
// storage, so the first-call initialisation after a cancel takes nothing more.
void decimal_init(Decimal& value);

// Gives back the integer's storage (work values of the programs are never cleared).
void decimal_clear(Decimal& value);

// dividend := dividend / divisor, with exactly the decimal places the quotient needs
// (3 / 2 gives 1.5, scale 1); the divisor is not changed and may be the dividend
// itself. A division by zero is a size error: the dividend then holds no number and
// true is returned.
bool decimal_div(Decimal& dividend, const Decimal& divisor);

// Stores the value into a numeric display field under the store option (runtime/arith.h):
// brought to the field's decimal places, rounded a half away from zero under bit 1,
// cut otherwise. Returns true on a size error (a value the field cannot hold, a
// negative value, or no number), where bit 2 keeps the field as it was.
bool decimal_get_field(const Decimal& value, const Field& destination, int option);

}  // namespace rt
