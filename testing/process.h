// Process: the one way the tests and the benchmarks start a program. A Launch says
// what the child gets (its arguments, environment changes, folder, user, and where
// each standard stream goes); a Process runs it under fork/exec, feeds its piped input
// and gathers its piped output without blocking on either, and reaps it with its exit
// status, wall time and peak memory. The dialogue harness (harness.h), the step-by-step
// runs (live_program.h) and the benchmarks' measured runs (bench::run below) are thin
// uses of it. It also holds in_child, for a test that runs a piece of itself in a
// child process.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testkit {

// Where one standard stream of the child goes.
struct Stream {
  enum Kind { kInherit, kPipe, kPath, kDescriptor, kClosed };
  Kind kind = kInherit;
  std::string path;  // kPath: read (input), or created and emptied (output), by the child
  int fd = -1;       // kDescriptor: one of ours, handed over as it is

  static Stream inherit() { return {}; }
  static Stream pipe() { return {kPipe}; }
  static Stream file(std::string path) { return {kPath, std::move(path)}; }
  static Stream descriptor(int fd) { return {kDescriptor, {}, fd}; }
  static Stream closed() { return {kClosed}; }
};

struct Launch {
  std::string path;               // the program; its name is also its argv[0]
  std::vector<std::string> args;  // after the program's name
  std::vector<std::string> env;   // "NAME=value" sets NAME, a bare "NAME" removes it
  std::string directory;          // working directory; empty keeps ours
  int user = -1;                  // when not negative, run as this user (we must be root)
  Stream in, out, err;
  long memory_mib = 0;  // when positive, the child's address space is limited to this (RLIMIT_AS)
};

// How a child ended.
struct Ending {
  int status = -1;       // exit status, or -1 when ended by a signal
  int signal = 0;        // the signal that ended it, if any
  int64_t wall_ns = 0;   // from the fork to the reaping
  long max_rss_kib = 0;  // peak resident memory of the child
};

// Exit statuses of a child that could not become the program: 126 when a stream, the
// user or the folder could not be set up, 127 when the program could not be executed.
inline constexpr int kCannotSetUp = 126;
inline constexpr int kCannotExecute = 127;

class Process {
 public:
  // Prepares the argument and environment vectors, so that start costs only the fork
  // and what the child does, as a start from a shell would.
  explicit Process(Launch launch);
  // A child still running is killed and reaped.
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts the child; false when it could not be forked.
  bool start();

  // Queues bytes for the piped standard input; they are written as the child takes them.
  void send(std::string_view bytes);
  // Closes the piped standard input once what is queued has been written.
  void close_input();
  // True while queued input is still waiting for the child to take it.
  bool input_pending() const { return in_ >= 0 && written_ < input_.size(); }

  // Waits up to timeout_ms (-1: no limit) for the child's piped output or for room for
  // its queued input, and takes what came. False when nothing more can come (the output
  // pipes have ended and no input is queued) or nothing came in time.
  bool pump(int timeout_ms);
  // Pumps until the output pipes end; false when timeout_ms ran out first.
  bool drain(int timeout_ms);

  // What the child wrote on its piped standard output and standard error so far.
  const std::string& out() const { return out_text_; }
  const std::string& err() const { return err_text_; }

  void kill(int signal);
  // Closes our ends of the pipes and reaps the child.
  Ending wait();
  bool running() const { return pid_ > 0 && !reaped_; }

 private:
  [[noreturn]] void child(int in_pipe, int out_pipe, int err_pipe);
  void close_pipes();

  Launch launch_;
  std::vector<std::string> arg_strings_;
  std::vector<std::string> env_strings_;
  std::vector<char*> argv_;
  std::vector<char*> envp_;
  unsigned group_ = 0;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int64_t started_ns_ = 0;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string input_;
  size_t written_ = 0;
  bool close_when_written_ = false;
  std::string out_text_;
  std::string err_text_;
};

// Waits for a child of ours: its exit status, or 100 plus the signal that ended it.
int status_of(pid_t pid);

// Runs body() in a child of this test, which ends with body's result as its exit
// status (nothing of the test's own state is flushed or torn down there); returns the
// child at once, for status_of.
template <class Body>
pid_t fork_child(Body body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

// Runs body() in a child of this test and waits for it: status_of the child.
template <class Body>
int in_child(Body body) {
  return status_of(fork_child(body));
}

}  // namespace testkit

namespace bench {

struct Command {
  std::string path;
  std::vector<std::string> args;  // after the program's name
  std::vector<std::string> env;   // "NAME=value" added to (or replacing in) ours
  std::string stdin_path = "/dev/null";
  std::string stdout_path = "/dev/null";
};

struct Measure {
  int64_t wall_ns = 0;
  int64_t max_rss_kib = 0;  // ru_maxrss of the child
  int status = -1;          // exit status, or -1 when it did not exit normally
};

// Runs the command to its end with its standard input and output on those files
// (standard error is ours) and measures it.
Measure run(const Command& command);

// The median of the samples (the mean of the middle two for an even count).
double median(std::vector<double> samples);

}  // namespace bench
