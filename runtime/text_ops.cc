// String building and character conversion over fixed-width fields.
#include "runtime/text_ops.h"

#include <cstring>

#include "runtime/arith.h"

namespace rt {
namespace {

// The string-building statement in progress. position is p, 1-based; a statement
// whose pointer was out of range at the start writes nothing (active is false).
struct StringStatement {
  Field destination{0, nullptr, nullptr};
  Field pointer{0, nullptr, nullptr};
  Item delimiter{0, nullptr, nullptr};
  int64_t position = 0;
  bool active = false;
  bool overflow = false;
} string_statement;

// The conversion statement in progress: the field and its region [begin, end).
struct InspectStatement {
  Field field{0, nullptr, nullptr};
  uint32_t begin = 0;
  uint32_t end = 0;
} inspect_statement;

// The whole-number value of a pointer field, whatever its scale.
__int128 whole_value(const Field& field) {
  Scaled value = value_of(field);
  for (int i = 0; i < value.scale; ++i) value.units /= 10;
  return value.units;
}

// Length of source up to the first occurrence of delimiter (all of it when none).
uint32_t delimited_length(Item source, Item delimiter) {
  if (delimiter.storage == nullptr || delimiter.size == 0 || delimiter.size > source.size) {
    return source.size;
  }
  for (uint32_t at = 0; at + delimiter.size <= source.size; ++at) {
    if (std::memcmp(source.storage + at, delimiter.storage, delimiter.size) == 0) return at;
  }
  return source.size;
}

}  // namespace

void string_init(const Field& destination, const Field& pointer) {
  StringStatement& s = string_statement;
  s = StringStatement{};
  s.destination = destination;
  s.pointer = pointer;
  const __int128 p = whole_value(pointer);
  s.active = p >= 1 && p <= static_cast<__int128>(destination.size);
  s.overflow = !s.active;
  s.position = s.active ? static_cast<int64_t>(p) : 0;
}

void string_delimited(const Item* delimiter) {
  string_statement.delimiter = delimiter != nullptr ? *delimiter : Item{0, nullptr, nullptr};
}

void string_append(Item source) {
  StringStatement& s = string_statement;
  if (!s.active) return;
  const uint32_t length = delimited_length(source, s.delimiter);
  const int64_t width = s.destination.size;
  const int64_t room = width + 1 - s.position;  // positions p to w
  const int64_t written = length < room ? length : room;
  // Byte by byte, in order; nothing beyond position w is touched.
  for (int64_t i = 0; i < written; ++i) {
    s.destination.storage[s.position - 1 + i] = source.storage[i];
  }
  s.position += written;
  if (written < length) s.overflow = true;
}

bool string_finish() {
  StringStatement& s = string_statement;
  bool overflow = s.overflow;
  if (s.active && store(Scaled{s.position, 0}, s.pointer, kKeepOnSizeError)) overflow = true;
  s = StringStatement{};
  return overflow;
}

void inspect_init(const Field& field, int /*flag*/) { inspect_statement = InspectStatement{field, 0, field.size}; }

void inspect_start() {
  inspect_statement.begin = 0;
  inspect_statement.end = inspect_statement.field.size;
}

void inspect_after(Item text) {
  InspectStatement& s = inspect_statement;
  const char* region = s.field.storage + s.begin;
  const uint32_t length = s.end - s.begin;
  if (text.size > length) {
    s.begin = s.end;
    return;
  }
  for (uint32_t at = 0; at + text.size <= length; ++at) {
    if (text.size == 0 || std::memcmp(region + at, text.storage, text.size) == 0) {
      s.begin += at + text.size;
      return;
    }
  }
  s.begin = s.end;  // not found: nothing is converted
}

void inspect_converting(Item from, Item to) {
  InspectStatement& s = inspect_statement;
  // One table of all 256 byte values, built before any character changes, so that
  // tables lying inside the field itself are read as they were, and so that each
  // character is looked up once: converted at most once, by its first place in from.
  unsigned char map[256];
  bool mapped[256] = {};
  for (int c = 0; c < 256; ++c) map[c] = static_cast<unsigned char>(c);
  const uint32_t places = from.size < to.size ? from.size : to.size;
  for (uint32_t i = 0; i < places; ++i) {
    const auto c = static_cast<unsigned char>(from.storage[i]);
    if (mapped[c]) continue;
    mapped[c] = true;
    map[c] = static_cast<unsigned char>(to.storage[i]);
  }
  for (uint32_t i = s.begin; i < s.end; ++i) {
    char& c = s.field.storage[i];
    c = static_cast<char>(map[static_cast<unsigned char>(c)]);
  }
}

void inspect_finish() { inspect_statement = InspectStatement{}; }

}  // namespace rt
