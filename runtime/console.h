// Console: the line reader behind accept, the output buffer behind display.
//
// Output is gathered in one buffer and written when it fills, when the reader is about
// to wait for input (so a prompt is on the screen before the answer is awaited, also
// through a pipe) and at stop. Input is read one line per accept; only the first
// kMaxLine bytes of a line are kept, so memory stays bounded whatever comes in.
//
// Pipes and files get the bytes exactly. A terminal gets them as it can show them,
// decided once, at the first display or accept (see ConsoleMode).
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>

#include "runtime/field.h"

namespace rt {

// Writes bytes to a file descriptor through a fixed buffer. A failed write is
// remembered (the error number), and later output is dropped.
class OutputBuffer {
 public:
  explicit OutputBuffer(int fd) : fd_(fd) {}
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;

  void write(const char* bytes, size_t length);
  void flush();
  // Starts over on fd: pending bytes and a remembered failure are dropped.
  void attach(int fd);
  // 0 while every write succeeded; otherwise the errno of the first failure.
  int error() const { return error_; }
  int fd() const { return fd_; }

 private:
  static constexpr size_t kCapacity = 16384;
  int fd_;
  int error_ = 0;
  size_t used_ = 0;
  char buffer_[kCapacity];
};

// Reads lines from a file descriptor. A line ends at LF; a CR just before the LF goes
// with it; a last line without LF is still a line.
class LineReader {
 public:
  static constexpr size_t kMaxLine = 4096;

  // before_wait runs whenever the reader has to block on the descriptor.
  LineReader(int fd, OutputBuffer* before_wait) : fd_(fd), before_wait_(before_wait) {}
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // The next line, without its line end and cut to kMaxLine bytes; false at end of
  // input (nothing left to read). The view stays valid until the next call.
  bool next(std::string_view* line);

  // Whether the last line given was longer than kMaxLine, so its end was not kept.
  bool cut() const { return cut_; }

  // Starts over on fd: buffered input and the end of input already met are dropped.
  void attach(int fd);
  int fd() const { return fd_; }

 private:
  static constexpr size_t kChunk = 65536;
  bool fill();  // reads more input; false at end of input or on a read error

  int fd_;
  OutputBuffer* before_wait_;
  size_t start_ = 0;
  size_t end_ = 0;
  bool at_end_ = false;
  bool cut_ = false;
  size_t line_length_ = 0;
  char chunk_[kChunk];
  char line_[kMaxLine];
};

// The process's standard output and input.
OutputBuffer& standard_output();
LineReader& standard_input();

// How the console meets its descriptors. On a terminal, the control bytes of displayed
// text are shown in caret notation and the end of input at a prompt ends the line; in
// UTF-8, displayed Latin-1 bytes are written as UTF-8 characters and typed characters
// read as Latin-1 bytes. UTF-8 is the locale's choice for a terminal (never for a pipe
// or a file), unless the program's charset variable forces a set for both (runtime/charset.h).
struct ConsoleMode {
  bool terminal_output = false;
  bool utf8_output = false;
  bool utf8_input = false;

  bool exact_output() const { return !terminal_output && !utf8_output; }
};

// The mode of standard input and output, decided at its first use. The locale is looked
// at only for a terminal: a program on pipes pays two isatty calls and a getenv.
const ConsoleMode& console_mode();

// Points standard input and output at other descriptors, each starting over (see
// attach). A process ends on its first stop, so no program needs this; it is for
// running a program several times in one process, as the fuzz drivers do together
// with set_stop_handler. The console's mode is decided again for them.
void attach_console(int input_fd, int output_fd);

// Writes each item at its full width, one after another with nothing between them,
// then a line feed when newline is 1. upon is always 0, standard output.
void new_display(int upon, int newline, std::initializer_list<Item> items);

// What an accept reads: data (a number, a plate, a sentence), or the answer to a
// question or a menu, of which only the first character counts by design.
enum class Answer : uint8_t { kData, kChoice };
inline constexpr Answer kChoice = Answer::kChoice;

// Reads the next line of standard input into the field by the move rules, a decimal
// comma read as the point (store_typed). When data loses something on the way (text cut
// to the field, a number that is not one, digits that do not fit), one line on standard
// error says at once what was typed and what was kept; the run goes on as before. At end
// of input the run ends as the stop operation ends it, with status 0 (after a line end
// when standard output is a terminal, so that the shell's prompt is not left after ours).
void accept(const Field& field, Answer answer = Answer::kData);

}  // namespace rt
