// Runs a program under fork/exec with its three standard streams on pipes.
#include "testing/harness.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

extern char** environ;

namespace dialogue {

std::string program_path(std::string_view name) {
  return std::string(PROGRAM_DIR) + "/" + std::string(name);
}

namespace {

std::vector<std::string> environment(const std::vector<std::string>& changes) {
  std::vector<std::string> result;
  for (char** e = environ; *e != nullptr; ++e) result.emplace_back(*e);
  for (const std::string& change : changes) {
    const size_t eq = change.find('=');
    const std::string name = change.substr(0, eq);
    std::erase_if(result, [&](const std::string& entry) {
      return entry.compare(0, name.size() + 1, name + "=") == 0;
    });
    if (eq != std::string::npos) result.push_back(change);
  }
  return result;
}

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

Outcome run(std::string_view program, std::string_view input, const Options& options) {
  Outcome outcome;
  signal(SIGPIPE, SIG_IGN);  // a program may end without reading all its input
  const std::string path = program.find('/') == std::string_view::npos
                               ? program_path(program)
                               : std::string(program);
  std::vector<std::string> env = environment(options.env);
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);

  gid_t group = 0;
  if (options.user >= 0) {
    const passwd* entry = getpwuid(static_cast<uid_t>(options.user));
    group = entry != nullptr ? entry->pw_gid : static_cast<gid_t>(options.user);
  }

  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return outcome;
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGPIPE, SIG_DFL);
    if (options.stdin_fd == kPipedInput) dup2(in[0], STDIN_FILENO);
    else if (options.stdin_fd >= 0) dup2(options.stdin_fd, STDIN_FILENO);
    if (options.stdout_path.empty()) {
      dup2(out[1], STDOUT_FILENO);
    } else {
      const int fd = open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0) _exit(126);
      if (fd != STDOUT_FILENO) {
        dup2(fd, STDOUT_FILENO);
        close(fd);
      }
    }
    dup2(err[1], STDERR_FILENO);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    if (options.stdin_fd == kClosedInput) close(STDIN_FILENO);
    if (options.stdout_closed) close(STDOUT_FILENO);
    if (options.user >= 0 &&
        (setgroups(0, nullptr) != 0 || setgid(group) != 0 || setuid(static_cast<uid_t>(options.user)) != 0)) {
      _exit(126);
    }
    if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) _exit(126);
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    execve(path.c_str(), argv, envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  set_nonblocking(in[1]);
  set_nonblocking(out[0]);
  set_nonblocking(err[0]);

  int to_child = in[1];
  size_t written = 0;
  if (input.empty() || options.stdin_fd != kPipedInput) {
    close(to_child);
    to_child = -1;
  }
  int from_out = out[0];
  int from_err = err[0];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
  char buffer[65536];
  while (from_out >= 0 || from_err >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      outcome.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    pollfd fds[3] = {{to_child, POLLOUT, 0}, {from_out, POLLIN, 0}, {from_err, POLLIN, 0}};
    if (poll(fds, 3, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    if (to_child >= 0 && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      const ssize_t n = write(to_child, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if ((n < 0 && errno != EAGAIN) || written == input.size()) {
        close(to_child);
        to_child = -1;
      }
    }
    for (int i = 1; i <= 2; ++i) {
      int& fd = i == 1 ? from_out : from_err;
      if (fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 1 ? outcome.out : outcome.err).append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EAGAIN) {
        close(fd);
        fd = -1;
      }
    }
  }
  for (int fd : {to_child, from_out, from_err}) {
    if (fd >= 0) close(fd);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  outcome.max_rss_kib = usage.ru_maxrss;
  if (WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
  return outcome;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "dialogue-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

}  // namespace dialogue
