// A program run step by step: the test writes its standard input when it chooses and
// reads its output as it comes, so that it can act between two answers (kill the
// program, start another one beside it). Standard error is gathered too.
#pragma once

#include <signal.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "testing/harness.h"
#include "testing/process.h"

namespace dialogue {

class LiveProgram {
 public:
  // env: "NAME=value" sets NAME, a bare "NAME" removes it; args follow the program's name.
  LiveProgram(std::string_view program, const std::vector<std::string>& env, std::vector<std::string> args = {})
      : process_({program.find('/') == std::string_view::npos ? program_path(program) : std::string(program),
                  std::move(args),
                  env,
                  {},
                  -1,
                  testkit::Stream::pipe(),
                  testkit::Stream::pipe(),
                  testkit::Stream::pipe()}) {
    process_.start();
  }

  // Writes the bytes before it returns (gathering output meanwhile), unless the
  // program stops taking input for 10 seconds.
  void send(std::string_view bytes) {
    process_.send(bytes);
    while (process_.input_pending() && process_.pump(10000)) {}
  }
  void close_input() { process_.close_input(); }

  // Reads output until it holds text count times; false when that does not come
  // within the time allowed or the output ends first.
  bool wait_for(std::string_view text, size_t count, int timeout_ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (occurrences(text) < count) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !process_.pump(static_cast<int>(left.count()))) return false;
    }
    return true;
  }

  void kill(int signal) { process_.kill(signal); }

  // Reads the rest of the output (until it ends, or 10 seconds pass without any), then
  // waits for the end: the exit status, or 100 plus the signal that ended the program.
  int wait() {
    close_input();
    while (process_.pump(10000)) {}
    const testkit::Ending ending = process_.wait();
    return ending.signal != 0 ? 100 + ending.signal : ending.status;
  }

  const std::string& out() const { return process_.out(); }
  const std::string& err() const { return process_.err(); }

 private:
  size_t occurrences(std::string_view text) const {
    size_t count = 0;
    for (size_t at = out().find(text); at != std::string::npos; at = out().find(text, at + 1)) ++count;
    return count;
  }

  testkit::Process process_;
};

}  // namespace dialogue
