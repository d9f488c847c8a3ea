// Runs programs for measurement: fork, exec, wait4.
#include "testing/process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

extern char** environ;

namespace bench {

namespace {

int64_t now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Our environment with the command's settings put in place of any of the same name.
std::vector<std::string> environment(const std::vector<std::string>& changes) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const char* equals = std::strchr(*e, '=');
    const size_t name = equals ? static_cast<size_t>(equals - *e) : std::strlen(*e);
    const bool replaced = std::any_of(changes.begin(), changes.end(), [&](const std::string& c) {
      return c.size() > name && c[name] == '=' && c.compare(0, name, *e, name) == 0;
    });
    if (!replaced) env.emplace_back(*e);
  }
  env.insert(env.end(), changes.begin(), changes.end());
  return env;
}

}  // namespace

Measure run(const Command& command) {
  Measure measure;
  std::vector<std::string> env = environment(command.env);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args{command.path};
  args.insert(args.end(), command.args.begin(), command.args.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const int in = open(command.stdin_path.c_str(), O_RDONLY | O_CLOEXEC);
  const int out = open(command.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (in < 0 || out < 0) {
    if (in >= 0) close(in);
    if (out >= 0) close(out);
    return measure;
  }
  // fork, not vfork: the child's memory before the exec is then only the pages it
  // copied, and those count in its ru_maxrss; a vfork child would carry ours.
  const int64_t start = now_ns();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  const pid_t reaped = pid > 0 ? wait4(pid, &status, 0, &usage) : -1;
  measure.wall_ns = now_ns() - start;
  close(in);
  close(out);
  if (reaped == pid && WIFEXITED(status)) measure.status = WEXITSTATUS(status);
  measure.max_rss_kib = usage.ru_maxrss;
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
