// Dialogue harness: runs a built program with given standard-input bytes and
// environment, and returns its standard output, standard error and exit status, so
// that a test can compare them byte for byte. The run itself is a testkit::Process
// (process.h).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "testing/test_folder.h"

namespace dialogue {

// Where the program's standard input comes from (Options::stdin_fd).
inline constexpr int kPipedInput = -1;   // a pipe fed with the input bytes, then closed
inline constexpr int kClosedInput = -2;  // no standard input at all: descriptor 0 closed

struct Options {
  // kPipedInput, kClosedInput, or a descriptor of the test's own handed over as it is
  // (the input bytes are then ignored), so the test can see how much of it was read.
  int stdin_fd = kPipedInput;
  // Environment changes: "NAME=value" sets NAME, a bare "NAME" removes it.
  std::vector<std::string> env;
  // Working directory of the program; empty keeps the test's own.
  std::string directory;
  // When set, standard output goes to this path (for example /dev/full) instead of
  // being captured.
  std::string stdout_path;
  // Standard output closed before the program starts (stdout_path is then unused).
  bool stdout_closed = false;
  // The program is killed after this long; the run then reports timed_out.
  int timeout_seconds = 60;
  // When not negative, the program runs as this user, with the user's own group and
  // no other groups (the test must be root); when it cannot, the run ends with 126.
  // A program of this project then runs from a copy that any user can reach
  // (program_for_anyone).
  int user = -1;
  // When positive, the program's address space is limited to this many MiB.
  long memory_mib = 0;
};

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or -1 when ended by a signal
  int signal = 0;   // the signal that ended it, if any
  bool timed_out = false;
  long max_rss_kib = 0;  // peak resident memory of the process, in KiB
};

// Path of a program built by this project.
std::string program_path(std::string_view name);

// Path of a copy of that program that every user may run: the build folder may lie in
// a folder that other users cannot enter (a home folder of mode 0700, a folder made by
// mktemp -d). The copies are made once, in a folder of mode 0755 removed at exit.
std::string program_for_anyone(std::string_view name);

// Runs the program to its end, feeding input on its standard input and then closing it.
Outcome run(std::string_view program, std::string_view input, const Options& options = {});

// n copies of c, for the trailing spaces of fixed-width fields.
inline std::string repeat(size_t n, char c = ' ') { return std::string(n, c); }

// A temporary folder removed with everything in it when the object goes.
using TempDir = testkit::TempFolder;

}  // namespace dialogue
