// Move rules shared by accept, moves and initial values.
#include "runtime/field.h"

#include <cstring>

namespace rt {
namespace {

void fill_alphanumeric(const char* bytes, size_t length, const Field& destination) {
  const size_t width = destination.size;
  const size_t copied = length < width ? length : width;
  std::memmove(destination.storage, bytes, copied);
  std::memset(destination.storage + copied, ' ', width - copied);
}

// Copies digits whose units digit ends at whole_end (exclusive) and whose decimals
// follow, aligned on the decimal point of a numeric display destination.
void align_digits(const char* whole, size_t whole_length, const char* decimals, size_t decimal_length,
                  const Field& destination) {
  const size_t scale = static_cast<size_t>(destination.attribute->scale);
  const size_t whole_width = destination.size - scale;
  char* out = destination.storage;
  for (size_t i = 0; i < whole_width; ++i) {
    // Position i of the destination's whole part has weight whole_width - 1 - i.
    const size_t from_end = whole_width - i;  // 1 = units digit
    out[i] = from_end <= whole_length ? whole[whole_length - from_end] : '0';
  }
  for (size_t i = 0; i < scale; ++i) {
    out[whole_width + i] = i < decimal_length ? decimals[i] : '0';
  }
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads text as a number into a numeric display field (see store_text); with comma,
// a "," may stand for the point. Returns what the value lost.
Loss store_number(const char* text, size_t length, const Field& destination, bool comma) {
  size_t begin = 0;
  size_t end = length;
  while (begin < end && is_blank(text[begin])) ++begin;
  while (end > begin && is_blank(text[end - 1])) --end;
  Loss loss;
  if (begin == end) {  // nothing typed: zero, which is what the clerk meant
    std::memset(destination.storage, '0', destination.size);
    return loss;
  }
  if (text[begin] == '+') ++begin;

  size_t point = end;  // position of the decimal point, end when there is none
  size_t digits = 0;
  bool valid = begin < end;
  for (size_t i = begin; valid && i < end; ++i) {
    if (is_digit(text[i])) {
      ++digits;
    } else if ((text[i] == '.' || (comma && text[i] == ',')) && point == end) {
      point = i;
    } else {
      valid = false;
    }
  }
  if (!valid || digits == 0) {
    std::memset(destination.storage, '0', destination.size);
    loss.not_a_number = true;
    return loss;
  }
  const size_t decimal_begin = point == end ? end : point + 1;
  const size_t scale = static_cast<size_t>(destination.attribute->scale);
  const size_t whole_width = destination.size - scale;
  const size_t whole_length = point - begin;
  for (size_t i = 0; whole_length > whole_width && i < whole_length - whole_width; ++i) {
    loss.whole_digits |= text[begin + i] != '0';
  }
  // Any decimal beyond the scale counts, a zero too: "1.000" typed for a thousand
  // kilometres must not become 1 without a word.
  loss.decimals = end - decimal_begin > scale;
  align_digits(text + begin, whole_length, text + decimal_begin, end - decimal_begin, destination);
  return loss;
}

}  // namespace

void store_text(const char* text, size_t length, const Field& destination) {
  store_number(text, length, destination, false);
}

Loss store_typed(const char* text, size_t length, const Field& destination) {
  if (destination.kind() == kNumericDisplay) return store_number(text, length, destination, true);
  fill_alphanumeric(text, length, destination);
  Loss loss;
  for (size_t i = destination.size; i < length; ++i) loss.cut |= text[i] != ' ';
  return loss;
}

void move(Item source, const Field& destination) {
  if (destination.kind() != kNumericDisplay) {
    fill_alphanumeric(source.storage, source.size, destination);
    return;
  }
  if (source.kind() != kNumericDisplay) {
    store_text(source.storage, source.size, destination);
    return;
  }
  const size_t scale = static_cast<size_t>(source.attribute->scale);
  align_digits(source.storage, source.size - scale, source.storage + source.size - scale, scale, destination);
}

void initialize(std::span<const Initial> fields) {
  for (const Initial& initial : fields) {
    const Field& field = initial.field;
    if (initial.value.storage != nullptr) {
      move(initial.value, field);
    } else {
      std::memset(field.storage, field.kind() == kNumericDisplay ? '0' : ' ', field.size);
    }
  }
}

}  // namespace rt
