// fleet serve started for a suite of the benchmark, and where it listens.
#pragma once

#include <memory>
#include <string>

#include "testing/process.h"

namespace bench {

struct Started {
  std::unique_ptr<testkit::Process> process;
  int port = 0;  // 0: it did not start, or said no address
  std::string token;
};

// Starts launch (fleet serve, or a floor that writes its address the same way), its
// standard error into the file log, and waits for the address it writes there.
Started start_server(testkit::Launch launch, const std::string& log);

}  // namespace bench
