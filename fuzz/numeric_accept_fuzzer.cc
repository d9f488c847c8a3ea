// Fuzz target: the move rules behind accept, on arbitrary text and field shapes.
//
// Input: byte 0 chooses the operation, byte 1 the receiving field's width (1 to 31
// digits, or 1 to 64 characters), byte 2 a scale; the rest is the text.
//   0  store_typed of the text into a numeric display field (accept into it, a
//      decimal comma read as the point), and what it says was lost;
//   1  move of the text, as an alphanumeric item, into a numeric display field;
//   2  move of a numeric display item made of the text's bytes (digits or not, as a
//      group can leave them) into a numeric display field;
//   3  move of the text into an alphanumeric field;
//   4  store_typed of the text into an alphanumeric field, and whether it was cut.
// The receiving field lies between guard bytes that must come through unchanged. A
// numeric display field must hold only digits afterwards (after operation 2 only when
// the source held only digits), and every result must equal the rules written plainly
// below.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/check.h"
#include "runtime/field.h"

namespace {

constexpr size_t kGuard = 32;
constexpr char kGuardByte = '\xA5';
constexpr size_t kMaxWidth = 64;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool all_digits(std::string_view s) {
  for (char c : s) {
    if (!is_digit(c)) return false;
  }
  return true;
}

// Whole digits aligned on the units digit and decimals after them, in a field of n
// digits with s decimal places: high-order digits that do not fit and decimals beyond
// s are dropped, missing ones are zeros.
std::string aligned(std::string_view whole, std::string_view decimals, size_t n, size_t s) {
  const std::string padded_whole = std::string(n - s, '0') + std::string(whole);
  const std::string padded_decimals = std::string(decimals) + std::string(s, '0');
  return padded_whole.substr(padded_whole.size() - (n - s)) + padded_decimals.substr(0, s);
}

// A typed text: blanks around it ignored, then an optional "+", then digits with at
// most one separator ("." or, when comma, ",") and at least one digit; anything else
// is zero. *loss gets what the field has no room for: a blank text loses nothing, any
// other invalid one is not a number; whole digits other than leading zeros, and any
// decimal, beyond the field.
std::string typed_value(std::string_view text, size_t n, size_t s, bool comma = false, rt::Loss* loss = nullptr) {
  rt::Loss ignored;
  if (loss == nullptr) loss = &ignored;
  const size_t first = text.find_first_not_of(" \t");
  text = first == std::string_view::npos ? std::string_view() : text.substr(first);
  text = text.substr(0, text.find_last_not_of(" \t") + 1);
  if (text.empty()) return std::string(n, '0');
  if (text[0] == '+') text.remove_prefix(1);
  const size_t point = text.find_first_of(comma ? ".," : ".");
  const std::string_view whole = text.substr(0, point);
  const std::string_view decimals = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
  if (!all_digits(whole) || !all_digits(decimals) || whole.size() + decimals.size() == 0) {
    loss->not_a_number = true;
    return std::string(n, '0');
  }
  if (whole.size() > n - s)
    loss->whole_digits = whole.substr(0, whole.size() - (n - s)).find_first_not_of('0') != std::string_view::npos;
  loss->decimals = decimals.size() > s;
  return aligned(whole, decimals, n, s);
}

bool same(const rt::Loss& a, const rt::Loss& b) {
  return a.cut == b.cut && a.not_a_number == b.not_a_number && a.whole_digits == b.whole_digits &&
         a.decimals == b.decimals;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int operation = data[0] % 5;
  const std::string_view text(reinterpret_cast<const char*>(data) + 3, size - 3);

  char area[kGuard + kMaxWidth + kGuard];
  std::memset(area, kGuardByte, sizeof area);
  char* const storage = area + kGuard;
  const bool numeric = operation < 3;
  const uint8_t width = numeric ? 1 + data[1] % rt::kMaxDigits : 1 + data[1] % kMaxWidth;
  const int8_t scale = numeric ? static_cast<int8_t>(data[2] % (width + 1)) : 0;
  const rt::Attribute attribute{numeric ? rt::kNumericDisplay : rt::kAlphanumeric, numeric ? width : uint8_t{0}, scale,
                                0, nullptr};
  const rt::Field field{width, storage, &attribute};
  const rt::Item typed{static_cast<uint32_t>(text.size()), text.data(), &rt::kAlphanumericAttribute};

  std::string expected;
  switch (operation) {
    case 0: {
      const rt::Loss loss = rt::store_typed(text.data(), text.size(), field);
      rt::Loss expected_loss;
      expected = typed_value(text, width, scale, true, &expected_loss);
      FUZZ_CHECK(same(loss, expected_loss));
      break;
    }
    case 1:
      rt::move(typed, field);
      expected = typed_value(text, width, scale);
      break;
    case 2: {
      if (text.empty()) return 0;
      const std::string_view digits = text.substr(0, rt::kMaxDigits);
      const int8_t source_scale = static_cast<int8_t>(data[2] / 32 % (digits.size() + 1));
      const rt::Attribute source_attribute{rt::kNumericDisplay, static_cast<uint8_t>(digits.size()), source_scale, 0,
                                           nullptr};
      rt::move({static_cast<uint32_t>(digits.size()), digits.data(), &source_attribute}, field);
      if (all_digits(digits)) {
        const size_t units = digits.size() - static_cast<size_t>(source_scale);
        expected = aligned(digits.substr(0, units), digits.substr(units), width, scale);
      }
      break;
    }
    case 3:
      rt::move(typed, field);
      expected = std::string(text.substr(0, width)) + std::string(width - std::min<size_t>(width, text.size()), ' ');
      break;
    default: {
      const rt::Loss loss = rt::store_typed(text.data(), text.size(), field);
      expected = std::string(text.substr(0, width)) + std::string(width - std::min<size_t>(width, text.size()), ' ');
      const bool cut = text.size() > width && text.substr(width).find_first_not_of(' ') != std::string_view::npos;
      FUZZ_CHECK(loss.cut == cut && !loss.not_a_number && !loss.whole_digits && !loss.decimals);
      break;
    }
  }

  for (size_t i = 0; i < kGuard; ++i) FUZZ_CHECK(area[i] == kGuardByte);
  for (size_t i = width; i < kMaxWidth + kGuard; ++i) FUZZ_CHECK(storage[i] == kGuardByte);
  const std::string_view held(storage, width);
  if (!expected.empty()) {
    FUZZ_CHECK(held == expected);
    if (numeric) FUZZ_CHECK(all_digits(held));
  }
  return 0;
}
