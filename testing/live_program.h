// A program run step by step: the test writes its standard input when it chooses and
// reads its output as it comes, so that it can act between two answers (kill the
// program, start another one beside it). Standard error is gathered too.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "testing/harness.h"

namespace dialogue {

class LiveProgram {
 public:
  // env: "NAME=value" sets NAME, a bare "NAME" removes it.
  LiveProgram(std::string_view program, const std::vector<std::string>& env) {
    signal(SIGPIPE, SIG_IGN);
    const std::string path = program_path(program);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      signal(SIGPIPE, SIG_DFL);
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      for (const std::string& change : env) {
        const size_t eq = change.find('=');
        if (eq == std::string::npos) unsetenv(change.c_str());
        else setenv(change.substr(0, eq).c_str(), change.c_str() + eq + 1, 1);
      }
      execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
  }
  ~LiveProgram() {
    if (pid_ > 0 && !ended_) {
      kill(SIGKILL);
      wait();
    }
    for (int fd : {in_, out_, err_}) {
      if (fd >= 0) close(fd);
    }
  }
  LiveProgram(const LiveProgram&) = delete;
  LiveProgram& operator=(const LiveProgram&) = delete;

  void send(std::string_view bytes) {
    size_t done = 0;
    while (in_ >= 0 && done < bytes.size()) {
      const ssize_t n = write(in_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
  }
  void close_input() {
    if (in_ >= 0) close(in_);
    in_ = -1;
  }

  // Reads output until it holds text count times; false when that does not come
  // within the time allowed or the output ends first.
  bool wait_for(std::string_view text, size_t count, int timeout_ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (occurrences(text) < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !read_more(static_cast<int>(left.count()))) return false;
    }
    return true;
  }

  void kill(int signal) { ::kill(pid_, signal); }

  // Reads the rest of the output, then waits for the end: the exit status, or 100
  // plus the signal that ended the program.
  int wait() {
    close_input();
    while (read_more(10000)) {
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    ended_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
  }

  const std::string& out() const { return out_text_; }
  const std::string& err() const { return err_text_; }

 private:
  size_t occurrences(std::string_view text) const {
    size_t count = 0;
    for (size_t at = out_text_.find(text); at != std::string::npos; at = out_text_.find(text, at + 1)) ++count;
    return count;
  }
  // Waits for output on either stream; false once both have ended or time ran out.
  bool read_more(int timeout_ms) {
    if (out_ < 0 && err_ < 0) return false;
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (poll(fds, 2, timeout_ms) <= 0) return false;
    char buffer[65536];
    for (int i = 0; i < 2; ++i) {
      int& fd = i == 0 ? out_ : err_;
      if (fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? out_text_ : err_text_).append(buffer, static_cast<size_t>(n));
      } else {
        close(fd);
        fd = -1;
      }
    }
    return true;
  }

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  bool ended_ = false;
  std::string out_text_;
  std::string err_text_;
};

}  // namespace dialogue
