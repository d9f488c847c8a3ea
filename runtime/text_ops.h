// Text operations: string building (characters written into an alphanumeric field at
// a position held in a pointer field) and character conversion (characters of a field
// converted in place through a from-table and a to-table, over a region of the field).
//
// Each is one statement made of several calls in a fixed order; the statement in
// progress is the runtime's (one thread, one statement at a time):
//
//   rt::string_init(destination, pointer);
//   rt::string_delimited(rt::kBySize);
//   rt::string_append(source);            // once per source
//   rt::string_finish();
//
//   rt::inspect_init(field, 0);
//   rt::inspect_start();
//   rt::inspect_after(text);              // optional: the region starts after text
//   rt::inspect_converting(from, to);
//   rt::inspect_finish();
//
// Characters are bytes. Neither statement reads or writes anything outside its fields.
#pragma once

#include "runtime/field.h"

namespace rt {

// String building. The pointer is an unsigned numeric display field whose value p is
// the 1-based position of the destination (width w) where the next character goes.
// Each character written goes to position p and p grows by 1; once position w has
// been written, the characters still to come are dropped. Positions not written keep
// what they held. At the finish, p is stored into the pointer (w + 1 when the
// destination was filled to its end).
//
// A pointer outside 1 to w at the start is an overflow: nothing is written and the
// pointer keeps its value. string_finish returns true on an overflow (a pointer out
// of range, characters dropped, or an end position the pointer field cannot hold,
// which then keeps its value); false otherwise.
void string_init(const Field& destination, const Field& pointer);

// By size (kBySize): every character of each following source, trailing spaces
// included. Given a text: each following source up to, not including, the first
// occurrence of that text (all of it when the text does not occur or is empty).
inline constexpr const Item* kBySize = nullptr;
void string_delimited(const Item* delimiter);

void string_append(Item source);
bool string_finish();

// Character conversion. The flag 0 says the statement converts (the only use).
void inspect_init(const Field& field, int flag);

// The region is the whole field.
void inspect_start();

// The region's start moves to just after the first occurrence of text, searched from
// the region's start; when text does not occur in the region, the region is empty.
void inspect_after(Item text);

// Every character of the region equal to a character of from becomes the character at
// the same place in to; each character is converted at most once. When a character
// stands more than once in from, its first place counts. Only the places that both
// tables have are used. Characters outside the region are left as they are.
void inspect_converting(Item from, Item to);

void inspect_finish();

}  // namespace rt
