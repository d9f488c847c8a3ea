// What a program says of itself when asked: `--help`, a short French usage, or
// `--version`, its name and version, as the only argument. Each program holds its own
// description and hands it to the start of the runtime:
//
//   constexpr rt::Usage usage{"civil", "D\xE9" "coupe un num\xE9ro ...\n"};
//   int main(int argc, char** argv) { rt::init(argc, argv, usage); rt::stop_run(civil()); }
#pragma once

namespace rt {

struct Usage {
  const char* name;         // the program's own name
  const char* description;  // Latin-1 lines: what it does, what it reads, its files
};

// Starts the runtime as init(argc, argv) does. When the only argument is --help or
// --version, writes the usage (the usage line, the description, the exit statuses) or
// the name and version in the locale's character set (or the one FLEET_CHARSET forces),
// and ends the process with status 0 before anything is read or opened; status 1 when
// the text could not be written. Any other argument is ignored.
void init(int argc, char** argv, const Usage& usage);

}  // namespace rt
