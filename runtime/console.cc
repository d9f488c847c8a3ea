// Console input and output over the process's standard descriptors.
#include "runtime/console.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/charset.h"
#include "runtime/frame.h"

namespace rt {

void OutputBuffer::write(const char* bytes, size_t length) {
  if (length > kCapacity - used_) {
    flush();
    if (length > kCapacity) {  // larger than the buffer: straight through
      size_t done = 0;
      while (error_ == 0 && done < length) {
        const ssize_t n = ::write(fd_, bytes + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
          error_ = errno;
        else
          done += static_cast<size_t>(n);
      }
      return;
    }
  }
  std::memcpy(buffer_ + used_, bytes, length);
  used_ += length;
}

void OutputBuffer::flush() {
  size_t done = 0;
  while (error_ == 0 && done < used_) {
    const ssize_t n = ::write(fd_, buffer_ + done, used_ - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      error_ = errno;
    else
      done += static_cast<size_t>(n);
  }
  used_ = 0;
}

void OutputBuffer::attach(int fd) {
  fd_ = fd;
  error_ = 0;
  used_ = 0;
}

void LineReader::attach(int fd) {
  fd_ = fd;
  start_ = end_ = 0;
  at_end_ = false;
  cut_ = false;
  line_length_ = 0;
}

bool LineReader::fill() {
  if (at_end_) return false;
  if (before_wait_ != nullptr) before_wait_->flush();
  for (;;) {
    const ssize_t n = ::read(fd_, chunk_, kChunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      at_end_ = true;
      return false;
    }
    start_ = 0;
    end_ = static_cast<size_t>(n);
    return true;
  }
}

bool LineReader::next(std::string_view* line) {
  line_length_ = 0;
  size_t total = 0;  // bytes of the line, kept or not
  bool any = false;  // whether this line has any byte or its line end
  bool ended = false;
  for (;;) {
    if (start_ == end_ && !fill()) {
      if (!any) return false;
      break;  // a last line without line end
    }
    any = true;
    const char* begin = chunk_ + start_;
    const void* lf = std::memchr(begin, '\n', end_ - start_);
    const size_t length = lf ? static_cast<size_t>(static_cast<const char*>(lf) - begin) : end_ - start_;
    const size_t room = kMaxLine - line_length_;
    const size_t kept = length < room ? length : room;
    std::memcpy(line_ + line_length_, begin, kept);
    line_length_ += kept;
    total += length;
    start_ += length;
    if (lf) {
      ++start_;
      ended = true;
      break;
    }
  }
  cut_ = total > line_length_;
  // A CR just before the line feed goes with it. A cut line has lost that byte already.
  if (ended && total == line_length_ && line_length_ > 0 && line_[line_length_ - 1] == '\r') {
    --line_length_;
  }
  *line = std::string_view(line_, line_length_);
  return true;
}

OutputBuffer& standard_output() {
  static OutputBuffer out(STDOUT_FILENO);
  return out;
}

LineReader& standard_input() {
  static LineReader in(STDIN_FILENO, &standard_output());
  return in;
}

namespace {

ConsoleMode decide_console_mode(int input_fd, int output_fd) {
  ConsoleMode mode;
  mode.terminal_output = isatty(output_fd) == 1;
  const bool terminal_input = isatty(input_fd) == 1;
  Charset forced;
  if (forced_charset(&forced)) {
    mode.utf8_output = mode.utf8_input = forced == Charset::kUtf8;
  } else if (mode.terminal_output || terminal_input) {
    const bool utf8 = locale_charset() == Charset::kUtf8;
    mode.utf8_output = utf8 && mode.terminal_output;
    mode.utf8_input = utf8 && terminal_input;
  }
  return mode;
}

ConsoleMode current_mode;
bool mode_decided = false;

// Writes text as the console's mode shows it, a piece at a time.
void write_shown(OutputBuffer& out, const ConsoleMode& shown, std::string_view text) {
  constexpr size_t kPiece = 256;
  char encoded[kPiece * kMaxEncodedLength];
  for (size_t at = 0; at < text.size(); at += kPiece) {
    const std::string_view piece(text.data() + at, text.size() - at < kPiece ? text.size() - at : kPiece);
    out.write(encoded, encode(piece, shown.utf8_output, shown.terminal_output, encoded));
  }
}

// Text gathered in a fixed buffer (no allocation, nothing that throws), cut when full.
class Text {
 public:
  Text& operator<<(std::string_view text) {
    const size_t room = sizeof bytes_ - used_;
    const size_t length = text.size() < room ? text.size() : room;
    std::memcpy(bytes_ + used_, text.data(), length);
    used_ += length;
    return *this;
  }
  Text& operator<<(size_t n) {
    char digits[20];
    size_t at = sizeof digits;
    do digits[--at] = static_cast<char>('0' + n % 10);
    while ((n /= 10) != 0);
    return *this << std::string_view(digits + at, sizeof digits - at);
  }
  std::string_view view() const { return {bytes_, used_}; }
  bool empty() const { return used_ == 0; }

 private:
  char bytes_[512];
  size_t used_ = 0;
};

// A text between French quotes; a long one loses its middle, so that its end, where a
// cut shows, stays in sight.
void quote(Text& line, std::string_view text) {
  constexpr size_t kHead = 40, kTail = 36;
  line << "\xAB ";
  if (text.size() <= kHead + 3 + kTail) {
    line << text;
  } else {
    line << std::string_view(text.data(), kHead) << "..." << std::string_view(text.data() + text.size() - kTail, kTail);
  }
  line << " \xBB";
}

// What a field holds as the clerk reads it: text without its trailing spaces, a number
// as its value with a decimal comma ("12,50", "7").
void kept_value(Text& line, const Field& field) {
  const char* bytes = field.storage;
  if (field.kind() != kNumericDisplay) {
    size_t length = field.size;
    while (length > 0 && bytes[length - 1] == ' ') --length;
    return quote(line, {bytes, length});
  }
  const size_t scale = static_cast<size_t>(field.attribute->scale);
  const size_t whole = field.size - scale;
  size_t first = 0;
  while (first + 1 < whole && bytes[first] == '0') ++first;
  line << (whole == 0 ? std::string_view("0") : std::string_view(bytes + first, whole - first));
  if (scale > 0) line << "," << std::string_view(bytes + whole, scale);
}

// Words of the lines, Latin-1 (0xE8 is e-grave, 0xE9 e-acute).
constexpr std::string_view kNoDecimals =
    "pas de d\xE9"
    "cimales";
constexpr std::string_view kDecimal =
    " d\xE9"
    "cimale";
constexpr std::string_view kDecimals =
    " d\xE9"
    "cimales";
constexpr std::string_view kLineCut =
    "ligne coup\xE9"
    "e apr\xE8s ";

// Why the field holds less than was typed, in the clerk's words.
void why(Text& line, const Field& field, const Loss& loss, bool line_cut) {
  const size_t scale = static_cast<size_t>(field.attribute->scale);
  const size_t whole = field.size - scale;
  Text reasons;
  const auto next = [&]() -> Text& { return reasons.empty() ? reasons : reasons << ", "; };
  const auto count = [](size_t n, std::string_view one, std::string_view many) { return n == 1 ? one : many; };
  if (loss.cut) next() << field.size << count(field.size, " caract\xE8re", " caract\xE8res") << " au plus";
  if (loss.not_a_number) next() << "pas un nombre";
  if (loss.whole_digits) {
    next() << whole << count(whole, " chiffre", " chiffres") << (scale > 0 ? " au plus avant la virgule" : " au plus");
  }
  if (loss.decimals && scale == 0) next() << kNoDecimals;
  if (loss.decimals && scale > 0) next() << scale << count(scale, kDecimal, kDecimals) << " au plus";
  if (line_cut) next() << kLineCut << LineReader::kMaxLine << " octets";
  line << reasons.view();
}

// Says on standard error, right after the accept, what was typed and what was kept.
void tell_loss(std::string_view typed, const Field& field, const Loss& loss, bool line_cut) {
  Text line;
  quote(line, typed);
  line << " tap\xE9, ";
  kept_value(line, field);
  line << " retenu (";
  why(line, field, loss, line_cut);
  line << ")";
  report({line.view()});
}

}  // namespace

const ConsoleMode& console_mode() {
  if (!mode_decided) {
    current_mode = decide_console_mode(standard_input().fd(), standard_output().fd());
    mode_decided = true;
  }
  return current_mode;
}

void attach_console(int input_fd, int output_fd) {
  standard_input().attach(input_fd);
  standard_output().attach(output_fd);
  mode_decided = false;
}

void new_display(int /*upon*/, int newline, std::initializer_list<Item> items) {
  OutputBuffer& out = standard_output();
  const ConsoleMode& shown = console_mode();
  if (shown.exact_output()) {
    for (const Item& item : items) out.write(item.storage, item.size);
  } else {
    for (const Item& item : items) write_shown(out, shown, {item.storage, item.size});
  }
  if (newline == 1) out.write("\n", 1);
}

void accept(const Field& field, Answer answer) {
  const ConsoleMode& typed = console_mode();
  std::string_view line;
  if (!standard_input().next(&line)) {
    if (typed.terminal_output) standard_output().write("\n", 1);
    stop_run(0);
  }
  static char decoded[LineReader::kMaxLine];
  if (typed.utf8_input) line = {decoded, decode_utf8(line, decoded)};
  const Loss loss = store_typed(line.data(), line.size(), field);
  const bool line_cut = standard_input().cut();
  if (answer == Answer::kData && (loss.any() || line_cut)) tell_loss(line, field, loss, line_cut);
}

}  // namespace rt
