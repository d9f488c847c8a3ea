// Terminal runner: runs a built program with its standard input and output on a
// pseudo-terminal, as a user at a terminal runs it, so that a test sees what the terminal
// receives. Standard error stays on a pipe of its own unless asked for on the terminal.
//
// The terminal keeps its line discipline for input (a line is handed over at its line
// end, Ctrl-D ends the input) but neither echoes what is typed nor turns LF into CR LF,
// so the output holds exactly the bytes the program wrote, in order.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace terminal {

struct Options {
  std::vector<std::string> args;  // after the program's name
  // Environment changes: "NAME=value" sets NAME, a bare "NAME" removes it.
  std::vector<std::string> env;
  // Working directory of the program; empty keeps the test's own.
  std::string directory;
  // When not negative, standard input is this descriptor of the test's own instead of
  // the terminal (the typed input is then ignored), so the test can see what was read.
  int stdin_fd = -1;
  // Standard output on the terminal, or on a pipe.
  bool stdout_on_terminal = true;
  // Standard error on the terminal too (its lines then come in `out`, where the terminal
  // shows them among the output), or on a pipe of its own.
  bool stderr_on_terminal = false;
  // The program is killed after this long; the run then reports timed_out.
  int timeout_seconds = 30;
};

struct Outcome {
  std::string out;  // what reached the terminal (or the pipe)
  std::string err;
  int status = -1;  // exit status, or -1 when ended by a signal
  bool timed_out = false;
};

// Runs the program to its end: the typed bytes, then Ctrl-D (which ends the input at the
// start of a line), are on the terminal's input from the start.
Outcome run(std::string_view program, std::string_view typed, const Options& options = {});

}  // namespace terminal
