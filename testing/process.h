// Process: runs one program to its end with its standard input and output taken from
// files, and measures the run: wall time from fork to reaping, and the peak resident
// memory the kernel reports for the child.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct Command {
  std::string path;
  std::vector<std::string> args;      // after the program's name
  std::vector<std::string> env;       // "NAME=value" added to (or replacing in) ours
  std::string stdin_path = "/dev/null";
  std::string stdout_path = "/dev/null";
};

struct Measure {
  int64_t wall_ns = 0;
  int64_t max_rss_kib = 0;  // ru_maxrss of the child
  int status = -1;          // exit status, or -1 when it did not exit normally
};

// The argument and environment vectors are built before the clock starts, so a run
// costs the fork, the exec and the program itself, as it would from a shell.
Measure run(const Command& command);

// The median of the samples (the mean of the middle two for an even count).
double median(std::vector<double> samples);

}  // namespace bench
