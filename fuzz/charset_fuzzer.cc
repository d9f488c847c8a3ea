// Fuzz target: the character sets on arbitrary bytes. Typed bytes decoded from UTF-8
// must match a decoder written plainly by code points below; text shown on a terminal
// must hold no control byte at all, whatever a field held; Latin-1 text written in UTF-8
// must read back as itself; and bytes of any origin made harmless must hold no control
// character, stay as they are when made harmless again, and keep every Latin-1
// character that was well-formed.
#include <cstdint>
#include <string>
#include <string_view>

#include "charset/charset.h"
#include "fuzz/check.h"

namespace {

// Decodes one character at text[i]: its code point and length, or length 0 when the
// bytes there are not well-formed UTF-8 (overlong, surrogate, above U+10FFFF, cut short).
size_t plain_character(std::string_view text, size_t i, uint32_t* code_point) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t lead = byte(i);
  const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  if (lead < 0xC0 || lead >= 0xF8) return 0;
  uint32_t value = lead & (0x7F >> length);
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    value = value << 6 | (byte(i + k) & 0x3F);
  }
  static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kLeast[length] || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return 0;
  *code_point = value;
  return length;
}

std::string plain_decode(std::string_view text) {
  std::string held;
  for (size_t i = 0; i < text.size();) {
    uint32_t code_point = 0;
    const size_t length = static_cast<uint8_t>(text[i]) < 0x80 ? 0 : plain_character(text, i, &code_point);
    if (length == 0) {
      held += text[i++];
    } else {
      held += code_point <= 0xFF ? static_cast<char>(code_point) : '?';
      i += length;
    }
  }
  return held;
}

std::string decoded(std::string_view text) {
  std::string held(text.size(), '\0');
  held.resize(charset::decode_utf8(text, held.data()));
  return held;
}

std::string encoded(std::string_view latin1, bool utf8, bool marks) {
  std::string shown(latin1.size() * charset::kMaxEncodedLength, '\0');
  shown.resize(charset::encode(latin1, utf8, marks, shown.data()));
  return shown;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string held = decoded(input);
  FUZZ_CHECK(held == plain_decode(input));
  FUZZ_CHECK(decoded(encoded(held, true, false)) == held);
  for (const bool utf8 : {false, true}) {
    const std::string shown = encoded(input, utf8, true);
    for (size_t i = 0; i < shown.size(); ++i) {
      const auto c = static_cast<uint8_t>(shown[i]);
      FUZZ_CHECK(c >= 0x20 && c != 0x7F);
      FUZZ_CHECK(utf8 ? !(c == 0xC2 && i + 1 < shown.size() && static_cast<uint8_t>(shown[i + 1]) < 0xA0)
                      : !(c >= 0x80 && c < 0xA0));
    }
  }
  const std::string harmless = charset::harmless(input);
  FUZZ_CHECK(charset::harmless(harmless) == harmless);
  for (size_t i = 0; i < harmless.size(); ++i) {
    const auto c = static_cast<uint8_t>(harmless[i]);
    FUZZ_CHECK(c >= 0x20 && c != 0x7F && !(c == 0xC2 && static_cast<uint8_t>(harmless[i + 1]) < 0xA0));
  }
  std::string latin1;
  if (charset::to_latin1(input, &latin1)) {
    FUZZ_CHECK(latin1 == held);
    FUZZ_CHECK(charset::utf8_of(latin1) == input);
  }
  return 0;
}
