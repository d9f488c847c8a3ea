// Starting, feeding, reading and reaping a child: fork, exec, poll, wait4.
#include "testing/process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <cerrno>

extern char** environ;

namespace testkit {

namespace {

int64_t now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Our environment with the changes made: "NAME=value" replaces any NAME, "NAME" removes it.
std::vector<std::string> environment(const std::vector<std::string>& changes) {
  std::vector<std::string> result;
  for (char** e = environ; *e != nullptr; ++e) result.emplace_back(*e);
  for (const std::string& change : changes) {
    const std::string name = change.substr(0, change.find('='));
    std::erase_if(result, [&](const std::string& entry) {
      return entry.size() > name.size() && entry[name.size()] == '=' && entry.compare(0, name.size(), name) == 0;
    });
    if (change.find('=') != std::string::npos) result.push_back(change);
  }
  return result;
}

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

Process::Process(Launch launch) : launch_(std::move(launch)) {
  arg_strings_.push_back(launch_.path);
  arg_strings_.insert(arg_strings_.end(), launch_.args.begin(), launch_.args.end());
  env_strings_ = environment(launch_.env);
  for (std::string& a : arg_strings_) argv_.push_back(a.data());
  argv_.push_back(nullptr);
  for (std::string& e : env_strings_) envp_.push_back(e.data());
  envp_.push_back(nullptr);
  if (launch_.user >= 0) {  // looked up here: getpwuid is no call for a forked child
    const passwd* entry = getpwuid(static_cast<uid_t>(launch_.user));
    group_ = entry != nullptr ? entry->pw_gid : static_cast<gid_t>(launch_.user);
  }
}

Process::~Process() {
  if (running()) kill(SIGKILL);
  wait();
}

void Process::close_pipes() {
  close_fd(in_);
  close_fd(out_);
  close_fd(err_);
}

bool Process::start() {
  int pipes[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
  const Stream* streams[3] = {&launch_.in, &launch_.out, &launch_.err};
  bool made = true;
  for (int i = 0; i < 3; ++i) {
    if (streams[i]->kind == Stream::kPipe) made = made && pipe2(pipes[i], O_CLOEXEC) == 0;
  }
  // A child may end without reading all its input: that is for the writer to see, not
  // a signal to end the test.
  if (launch_.in.kind == Stream::kPipe) signal(SIGPIPE, SIG_IGN);
  // fork, not vfork: the child's memory before the exec is then only the pages it
  // copied, and those count in its ru_maxrss; a vfork child would carry ours.
  started_ns_ = now_ns();
  pid_ = made ? fork() : -1;
  if (pid_ == 0) child(pipes[0][0], pipes[1][1], pipes[2][1]);
  for (int i = 0; i < 3; ++i) close_fd(pipes[i][i == 0 ? 0 : 1]);  // the child's ends
  in_ = pipes[0][1];
  out_ = pipes[1][0];
  err_ = pipes[2][0];
  if (pid_ < 0) {
    close_pipes();
    return false;
  }
  for (int fd : {in_, out_, err_}) {
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  if (close_when_written_ && !input_pending()) close_fd(in_);
  return true;
}

void Process::child(int in_pipe, int out_pipe, int err_pipe) {
  signal(SIGPIPE, SIG_DFL);
  const Stream* streams[3] = {&launch_.in, &launch_.out, &launch_.err};
  const int piped[3] = {in_pipe, out_pipe, err_pipe};
  for (int target = 0; target < 3; ++target) {
    const Stream& stream = *streams[target];
    int source = -1;
    switch (stream.kind) {
      case Stream::kInherit:
      case Stream::kClosed:
        continue;
      case Stream::kPipe:
        source = piped[target];
        break;
      case Stream::kDescriptor:
        source = stream.fd;
        break;
      case Stream::kPath:
        source = target == 0 ? open(stream.path.c_str(), O_RDONLY | O_CLOEXEC)
                             : open(stream.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (source < 0) _exit(kCannotSetUp);
        break;
    }
    // dup2 onto itself would leave close-on-exec set.
    if (source == target)
      fcntl(source, F_SETFD, 0);
    else
      dup2(source, target);
  }
  for (int target = 0; target < 3; ++target) {
    if (streams[target]->kind == Stream::kClosed) close(target);
  }
  if (launch_.user >= 0 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(group_)) != 0 ||
                            setuid(static_cast<uid_t>(launch_.user)) != 0)) {
    _exit(kCannotSetUp);
  }
  if (!launch_.directory.empty() && chdir(launch_.directory.c_str()) != 0) _exit(kCannotSetUp);
  if (launch_.memory_mib > 0) {
    const rlimit limit{static_cast<rlim_t>(launch_.memory_mib) << 20, static_cast<rlim_t>(launch_.memory_mib) << 20};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(kCannotSetUp);
  }
  execve(argv_[0], argv_.data(), envp_.data());
  _exit(kCannotExecute);
}

void Process::send(std::string_view bytes) { input_.append(bytes); }

void Process::close_input() {
  close_when_written_ = true;
  if (!input_pending()) close_fd(in_);
}

bool Process::pump(int timeout_ms) {
  if (in_ >= 0 && !input_pending() && close_when_written_) close_fd(in_);
  pollfd fds[3] = {{input_pending() ? in_ : -1, POLLOUT, 0}, {out_, POLLIN, 0}, {err_, POLLIN, 0}};
  if (fds[0].fd < 0 && out_ < 0 && err_ < 0) return false;
  const int ready = poll(fds, 3, timeout_ms);
  if (ready < 0) return errno == EINTR;
  if (ready == 0) return false;
  if (fds[0].fd >= 0 && fds[0].revents != 0) {
    const ssize_t n = write(in_, input_.data() + written_, input_.size() - written_);
    if (n > 0) written_ += static_cast<size_t>(n);
    if (n < 0 && errno != EAGAIN && errno != EINTR)
      close_fd(in_);  // the child is gone
    else if (!input_pending() && close_when_written_)
      close_fd(in_);
  }
  char buffer[65536];
  for (int i = 1; i <= 2; ++i) {
    int& fd = i == 1 ? out_ : err_;
    if (fd < 0 || fds[i].revents == 0) continue;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0)
      (i == 1 ? out_text_ : err_text_).append(buffer, static_cast<size_t>(n));
    else if (n == 0 || (errno != EAGAIN && errno != EINTR))
      close_fd(fd);
  }
  return true;
}

bool Process::drain(int timeout_ms) {
  const int64_t deadline = now_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
  while (out_ >= 0 || err_ >= 0) {
    int left = -1;
    if (timeout_ms >= 0) {
      const int64_t left_ns = deadline - now_ns();
      if (left_ns <= 0) return false;
      left = static_cast<int>(std::min<int64_t>((left_ns + 999999) / 1000000, 1 << 30));
    }
    if (!pump(left) && timeout_ms < 0) return false;
  }
  return true;
}

void Process::kill(int signal) {
  if (running()) ::kill(pid_, signal);
}

Ending Process::wait() {
  close_pipes();
  Ending ending;
  if (!running()) return ending;
  int status = 0;
  rusage usage{};
  pid_t reaped;
  do {
    reaped = wait4(pid_, &status, 0, &usage);
  } while (reaped < 0 && errno == EINTR);
  ending.wall_ns = now_ns() - started_ns_;
  reaped_ = true;
  if (reaped != pid_) return ending;
  ending.max_rss_kib = usage.ru_maxrss;
  if (WIFEXITED(status)) ending.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) ending.signal = WTERMSIG(status);
  return ending;
}

int status_of(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

}  // namespace testkit

namespace bench {

Measure run(const Command& command) {
  testkit::Process process({command.path,
                            command.args,
                            command.env,
                            {},
                            -1,
                            testkit::Stream::file(command.stdin_path),
                            testkit::Stream::file(command.stdout_path),
                            testkit::Stream::inherit()});
  Measure measure;
  if (!process.start()) return measure;
  const testkit::Ending ending = process.wait();
  measure.wall_ns = ending.wall_ns;
  measure.max_rss_kib = ending.max_rss_kib;
  measure.status = ending.status;
  return measure;
}

double median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  const size_t middle = samples.size() / 2;
  std::nth_element(samples.begin(), samples.begin() + middle, samples.end());
  if (samples.size() % 2 == 1) return samples[middle];
  const double upper = samples[middle];
  return (upper + *std::max_element(samples.begin(), samples.begin() + middle)) / 2;
}

}  // namespace bench
