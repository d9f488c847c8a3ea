// A whole dialogue: the input fed and closed, the output gathered to the end.
#include "testing/harness.h"

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "testing/process.h"

namespace dialogue {

std::string program_path(std::string_view name) { return std::string(PROGRAM_DIR) + "/" + std::string(name); }

std::string program_for_anyone(std::string_view name) {
  static const TempDir folder;
  static std::set<std::string, std::less<>> copied;
  const std::string copy = folder.file(name);
  if (!copied.contains(name)) {
    chmod(folder.path().c_str(), 0755);
    std::error_code error;
    std::filesystem::copy_file(program_path(name), copy, std::filesystem::copy_options::overwrite_existing, error);
    if (!error) chmod(copy.c_str(), 0755);
    copied.emplace(name);
  }
  return copy;
}

Outcome run(std::string_view program, std::string_view input, const Options& options) {
  using testkit::Stream;
  const bool ours = program.find('/') == std::string_view::npos;
  testkit::Launch launch{!ours               ? std::string(program)
                         : options.user >= 0 ? program_for_anyone(program)
                                             : program_path(program)};
  launch.env = options.env;
  launch.directory = options.directory;
  launch.user = options.user;
  launch.memory_mib = options.memory_mib;
  launch.in = options.stdin_fd == kPipedInput    ? Stream::pipe()
              : options.stdin_fd == kClosedInput ? Stream::closed()
                                                 : Stream::descriptor(options.stdin_fd);
  launch.out = options.stdout_closed          ? Stream::closed()
               : !options.stdout_path.empty() ? Stream::file(options.stdout_path)
                                              : Stream::pipe();
  launch.err = Stream::pipe();

  Outcome outcome;
  testkit::Process process(std::move(launch));
  if (!process.start()) return outcome;
  process.send(input);
  process.close_input();
  if (!process.drain(options.timeout_seconds * 1000)) {
    outcome.timed_out = true;
    process.kill(SIGKILL);
  }
  const testkit::Ending ending = process.wait();
  outcome.out = process.out();
  outcome.err = process.err();
  outcome.status = ending.status;
  outcome.signal = ending.signal;
  outcome.max_rss_kib = ending.max_rss_kib;
  return outcome;
}

}  // namespace dialogue
