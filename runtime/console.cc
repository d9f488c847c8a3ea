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

void accept(const Field& field) {
  const ConsoleMode& typed = console_mode();
  std::string_view line;
  if (!standard_input().next(&line)) {
    if (typed.terminal_output) standard_output().write("\n", 1);
    stop_run(0);
  }
  static char decoded[LineReader::kMaxLine];
  if (typed.utf8_input) line = {decoded, decode_utf8(line, decoded)};
  move(Item{static_cast<uint32_t>(line.size()), line.data(), &kAlphanumericAttribute}, field);
}

}  // namespace rt
