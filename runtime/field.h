// Field model: the attribute and descriptor of every fixed-width field, and the
// one set of move rules that accept, moves and arithmetic stores all go through.
//
// A field lives in static storage as the bytes a program declares; a descriptor
// (size, storage, attribute) is fixed when the program is built, so descriptors,
// attributes and literals are constexpr throughout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace rt {

// Kinds of field.
inline constexpr uint8_t kGroup = 0x01;
inline constexpr uint8_t kNumericDisplay = 0x10;
inline constexpr uint8_t kAlphanumeric = 0x21;

// Largest numeric display field the arithmetic handles exactly.
inline constexpr int kMaxDigits = 31;

// Shared by every field of the same shape.
struct Attribute {
  uint8_t kind;
  uint8_t digits;  // numeric display: number of digits; 0 otherwise
  int8_t scale;    // numeric display: decimal places; 0 otherwise
  // Always 0 (no field carries a sign); kept: part of the attribute's fixed layout;
  // nothing reads it.
  uint8_t flags;
  const char* picture;  // always null; kept: part of the fixed layout; nothing reads it
};

inline constexpr Attribute kAlphanumericAttribute{kAlphanumeric, 0, 0, 0, nullptr};
inline constexpr Attribute kGroupAttribute{kGroup, 0, 0, 0, nullptr};
template <uint8_t Digits, int8_t Scale = 0>
inline constexpr Attribute kNumericAttribute{kNumericDisplay, Digits, Scale, 0, nullptr};

// A read-only descriptor: literals, and any field handed to the runtime as a source.
struct Item {
  uint32_t size;
  const char* storage;
  const Attribute* attribute;

  constexpr uint8_t kind() const { return attribute->kind; }
};

// A descriptor of a program's own, writable field.
struct Field {
  uint32_t size;
  char* storage;
  const Attribute* attribute;

  constexpr operator Item() const { return {size, storage, attribute}; }
  constexpr uint8_t kind() const { return attribute->kind; }
};

// Descriptor builders, usable in constant expressions.
constexpr Field alphanumeric(char* storage, uint32_t size) { return {size, storage, &kAlphanumericAttribute}; }
template <size_t N>
constexpr Field alphanumeric(char (&storage)[N]) {
  return {N, storage, &kAlphanumericAttribute};
}
constexpr Field group(char* storage, uint32_t size) { return {size, storage, &kGroupAttribute}; }
template <size_t N>
constexpr Field group(char (&storage)[N]) {
  return {N, storage, &kGroupAttribute};
}
template <uint8_t Digits, int8_t Scale = 0>
constexpr Field numeric(char* storage) {
  static_assert(Digits >= 1 && Digits <= kMaxDigits && Scale >= 0 && Scale <= Digits);
  return {Digits, storage, &kNumericAttribute<Digits, Scale>};
}

// An alphanumeric literal: its bytes exactly as written (embedded NULs included),
// without the terminator the C++ string literal adds.
template <size_t N>
constexpr Item literal(const char (&text)[N]) {
  return {N - 1, text, &kAlphanumericAttribute};
}
// A numeric literal such as "1": a numeric display item of as many digits as it has.
template <size_t N>
constexpr Item number(const char (&digits)[N]) {
  static_assert(N >= 2 && N - 1 <= kMaxDigits);
  return {N - 1, digits, &kNumericAttribute<static_cast<uint8_t>(N - 1)>};
}

// An element of a table or a run of characters, chosen at the moment of use.
// Position and subscript count from 1 and are not checked against the table.
constexpr Field element(const Field& table_first, int64_t subscript, uint32_t stride) {
  return {table_first.size, table_first.storage + (subscript - 1) * stride, table_first.attribute};
}
constexpr Item character_at(Item field, int64_t position) {
  return {1, field.storage + (position - 1), &kAlphanumericAttribute};
}

// Stores source into destination by the move rules:
// - into an alphanumeric or group field: left-justified, space-filled or cut on the right;
// - a numeric display source into a numeric display field: aligned on the decimal point,
//   zeros added, digits that do not fit dropped;
// - an alphanumeric source (a typed line) into a numeric display field: read as a number
//   (see store_text), anything else stores zero.
void move(Item source, const Field& destination);

// Stores text into a numeric display field of n digits and scale s. Blanks (space,
// tab) around the text are ignored; a valid text is an optional "+", then digits with
// at most one "." and at least one digit. Its whole part is aligned on the units digit
// (high-order digits beyond n - s dropped), its decimals beyond s dropped. An empty or
// blank text, or any other text, stores zero.
void store_text(const char* text, size_t length, const Field& destination);

// What a typed line lost on its way into a field. Spaces cut after a text, and leading
// zeros, lose nothing; any decimal beyond the field's scale is lost, a zero too, since
// "1.000" may have meant a thousand.
struct Loss {
  bool cut = false;           // text other than spaces beyond an alphanumeric or group field
  bool not_a_number = false;  // a line that is neither blank nor a number: zero stored
  bool whole_digits = false;  // high-order digits other than zeros beyond the whole part
  bool decimals = false;      // decimals beyond the field's scale

  bool any() const { return cut || not_a_number || whole_digits || decimals; }
};

// Stores a typed line into the field as accept does, and says what it lost. The move
// rules, but for one difference: a French decimal comma reads as the point does, so
// that "12,50" is 12.50 (one separator at most, either one).
Loss store_typed(const char* text, size_t length, const Field& destination);

// One initial value of the first-call initialisation: the field, and the literal a
// move leaves in it. Without a literal, a numeric display field gets all '0', any
// other field all spaces.
struct Initial {
  Field field;
  Item value{0, nullptr, nullptr};
};
void initialize(std::span<const Initial> fields);
inline void initialize(std::initializer_list<Initial> fields) {
  initialize(std::span<const Initial>(fields.begin(), fields.size()));
}

}  // namespace rt
