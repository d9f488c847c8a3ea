// Runs a program on a pseudo-terminal: openpty, then fork with the terminal as the
// child's controlling terminal.
#include "testing/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <cerrno>
#include <chrono>

#include "testing/harness.h"

extern char** environ;

namespace terminal {

namespace {

std::vector<std::string> environment(const std::vector<std::string>& changes) {
  std::vector<std::string> result;
  for (char** e = environ; *e != nullptr; ++e) result.emplace_back(*e);
  for (const std::string& change : changes) {
    const std::string name = change.substr(0, change.find('='));
    std::erase_if(result, [&](const std::string& entry) { return entry.compare(0, name.size() + 1, name + "=") == 0; });
    if (change.find('=') != std::string::npos) result.push_back(change);
  }
  return result;
}

// One stream the parent reads until its end.
struct Stream {
  int fd;
  std::string* into;
};

}  // namespace

Outcome run(std::string_view program, std::string_view typed, const Options& options) {
  Outcome outcome;
  const std::string path = dialogue::program_path(program);
  std::vector<std::string> argv_strings{path};
  argv_strings.insert(argv_strings.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv_strings) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = environment(options.env);
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return outcome;
  termios settings;
  tcgetattr(slave, &settings);
  settings.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL);
  settings.c_oflag &= ~OPOST;
  tcsetattr(slave, TCSANOW, &settings);
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return outcome;

  signal(SIGPIPE, SIG_IGN);
  const pid_t pid = fork();
  if (pid == 0) {
    close(master);
    if (login_tty(slave) != 0) _exit(126);  // the terminal on 0, 1 and 2, and controlling
    if (options.stdin_fd >= 0) dup2(options.stdin_fd, STDIN_FILENO);
    if (!options.stdout_on_terminal) dup2(out[1], STDOUT_FILENO);
    if (!options.stderr_on_terminal) dup2(err[1], STDERR_FILENO);
    for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
    if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) _exit(126);
    signal(SIGPIPE, SIG_DFL);
    execve(path.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(slave);
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    for (int fd : {master, out[0], err[0]}) close(fd);
    return outcome;
  }

  // Ctrl-D ends a line that has no line end yet; a second one then ends the input.
  std::string pending(typed);
  pending += pending.empty() || pending.back() == '\n' ? "\x04" : "\x04\x04";
  if (options.stdin_fd >= 0) pending.clear();
  std::string terminal_out, pipe_out;
  std::vector<Stream> streams{{master, &terminal_out}, {out[0], &pipe_out}, {err[0], &outcome.err}};
  for (const Stream& s : streams) fcntl(s.fd, F_SETFL, fcntl(s.fd, F_GETFL) | O_NONBLOCK);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
  while (!streams.empty()) {
    if (!outcome.timed_out && std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      outcome.timed_out = true;
    }
    std::vector<pollfd> polled;
    for (const Stream& s : streams) {
      const bool write_now = s.fd == master && !pending.empty();
      polled.push_back({s.fd, static_cast<short>(POLLIN | (write_now ? POLLOUT : 0)), 0});
    }
    if (poll(polled.data(), polled.size(), 100) < 0 && errno != EINTR) break;
    for (size_t i = polled.size(); i-- > 0;) {
      if (polled[i].revents & POLLOUT) {
        const ssize_t n = write(polled[i].fd, pending.data(), pending.size());
        if (n > 0) pending.erase(0, static_cast<size_t>(n));
      }
      if (polled[i].revents == 0 || (polled[i].revents & ~POLLOUT) == 0) continue;
      char buffer[4096];
      const ssize_t n = read(polled[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        streams[i].into->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {  // EIO: no one holds the terminal
        // The terminal stays open until the child is gone: closing it would hang it up.
        if (polled[i].fd != master) close(polled[i].fd);
        streams.erase(streams.begin() + static_cast<long>(i));
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  close(master);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  outcome.out = options.stdout_on_terminal ? terminal_out : pipe_out;
  return outcome;
}

}  // namespace terminal
