// Decimal work values over GMP integers; the final store goes through rt::store.
#include "runtime/decimal/decimal.h"

#include "runtime/arith.h"

namespace rt {
namespace {

// A GMP integer of this scope, cleared when the scope ends.
class Integer {
 public:
  Integer() { mpz_init(z_); }
  ~Integer() { mpz_clear(z_); }
  Integer(const Integer&) = delete;
  Integer& operator=(const Integer&) = delete;
  operator mpz_ptr() { return z_; }
  operator mpz_srcptr() const { return z_; }
  int sign() const { return mpz_sgn(z_); }
  bool is_one() const { return mpz_cmp_ui(z_, 1) == 0; }

 private:
  mpz_t z_;
};

// z := z * 10^exponent, exponent >= 0.
void scale_up(mpz_ptr z, unsigned long exponent) {
  Integer power;
  mpz_ui_pow_ui(power, 10, exponent);
  mpz_mul(z, z, power);
}

// |z| < 10^31 here, so it fits: the digits of a field of at most kMaxDigits.
__int128 to_int128(mpz_srcptr z) {
  uint64_t words[2] = {0, 0};
  size_t count = 0;
  mpz_export(words, &count, -1, sizeof words[0], 0, 0, z);
  const __int128 magnitude = (static_cast<__int128>(words[1]) << 64) | words[0];
  return mpz_sgn(z) < 0 ? -magnitude : magnitude;
}

}  // namespace

void decimal_init(Decimal& value) {
  if (value.ready) {
    mpz_set_ui(value.integer, 0);
  } else {
    mpz_init(value.integer);
    value.ready = true;
  }
  value.scale = 0;
}

void decimal_clear(Decimal& value) {
  if (value.ready) mpz_clear(value.integer);
  value.ready = false;
}

bool decimal_div(Decimal& dividend, const Decimal& divisor) {
  if (dividend.scale == kNoNumber || divisor.scale == kNoNumber || mpz_sgn(divisor.integer) == 0) {
    dividend.scale = kNoNumber;
    return true;
  }
  // The quotient is n / d x 10^(divisor.scale - dividend.scale). In lowest terms, n / d
  // ends after k decimal places exactly when d is 2^a x 5^b, with k = max(a, b).
  Integer n, d, g, two, five;
  mpz_gcd(g, dividend.integer, divisor.integer);
  mpz_divexact(n, dividend.integer, g);
  mpz_divexact(d, divisor.integer, g);
  if (d.sign() < 0) {
    mpz_neg(n, n);
    mpz_neg(d, d);
  }
  mpz_set_ui(two, 2);
  mpz_set_ui(five, 5);
  const mp_bitcnt_t twos = mpz_remove(d, d, two);
  const mp_bitcnt_t fives = mpz_remove(d, d, five);
  int64_t scale = int64_t{dividend.scale} - divisor.scale;
  if (d.is_one()) {
    // n x 10^k / (2^twos x 5^fives)
    const mp_bitcnt_t k = twos > fives ? twos : fives;
    Integer factor;
    mpz_ui_pow_ui(factor, 2, k - twos);
    mpz_mul(n, n, factor);
    mpz_ui_pow_ui(factor, 5, k - fives);
    mpz_mul(n, n, factor);
    scale += static_cast<int64_t>(k);
  } else {
    // Never ends: cut toward zero after kQuotientPlaces decimal places (or more, when the
    // dividend has more).
    const int64_t places = scale > kQuotientPlaces ? scale : kQuotientPlaces;
    mpz_set(n, dividend.integer);
    scale_up(n, static_cast<unsigned long>(places - scale));
    mpz_tdiv_q(n, n, divisor.integer);
    scale = places;
  }
  if (scale < 0) {  // a whole number with trailing zeros: keep the scale at 0
    scale_up(n, static_cast<unsigned long>(-scale));
    scale = 0;
  }
  if (scale >= INT32_MAX) {  // beyond any scale a work value can hold
    dividend.scale = kNoNumber;
    return true;
  }
  mpz_swap(dividend.integer, n);
  dividend.scale = static_cast<int32_t>(scale);
  return false;
}

bool decimal_get_field(const Decimal& value, const Field& destination, int option) {
  if (value.scale == kNoNumber) return true;  // nothing to store: the field keeps its value

  // Bring the value to the field's decimal places, rounding or cutting.
  const int32_t scale = destination.attribute->scale;
  Integer units;
  mpz_set(units, value.integer);
  if (value.scale > scale) {
    Integer divisor, rest;
    mpz_ui_pow_ui(divisor, 10, static_cast<unsigned long>(value.scale - scale));
    mpz_tdiv_qr(units, rest, units, divisor);  // toward zero
    if ((option & kRound) != 0) {
      mpz_mul_2exp(rest, rest, 1);
      if (mpz_cmpabs(rest, divisor) >= 0) {  // a half or more: away from zero
        if (rest.sign() < 0)
          mpz_sub_ui(units, units, 1);
        else
          mpz_add_ui(units, units, 1);
      }
    }
  } else if (value.scale < scale) {
    scale_up(units, static_cast<unsigned long>(scale - value.scale));
  }

  // A value the field's digits cannot hold is a size error whatever its size; only
  // then can it be too large for rt::store, which takes over from here.
  Integer limit;
  mpz_ui_pow_ui(limit, 10, destination.size);
  bool size_error = false;
  if (mpz_cmpabs(units, limit) >= 0) {
    size_error = true;
    if ((option & kKeepOnSizeError) != 0 || (option & kTruncateOnSizeError) == 0) return true;
    mpz_tdiv_r(units, units, limit);  // the low-order digits, sign kept
  }
  return store({to_int128(units), scale}, destination, option) || size_error;
}

}  // namespace rt
