// What a program says of itself when asked: `--help`, a short usage, or `--version`, its
// name and version, as the only argument. The runtime holds none of these words: each
// program hands its own name and description to the start of the runtime, with what
// every program of its package says alike (programs/usage.h):
//
//   constexpr rt::Usage usage{"civil", "D\xE9" "coupe un num\xE9ro ...\n", programs::kUsage};
//   int main(int argc, char** argv) { rt::init(argc, argv, usage); rt::stop_run(civil()); }
#pragma once

namespace rt {

// What the programs of one package say alike, and the variable that forces their
// console's character set.
struct Package {
  const char* name;              // --version writes "civil (name) version"
  const char* version;           //
  const char* usage_label;       // Latin-1: --help's first line, before the program's name
  const char* closing;           // Latin-1 lines after each program's description
  const char* charset_variable;  // the environment variable that forces the set (runtime/charset.h)
};

struct Usage {
  const char* name;         // the program's own name
  const char* description;  // Latin-1 lines: what it does, what it reads, its files
  const Package& package;
};

// Starts the runtime as init(argc, argv) does, and names the package's charset variable
// to the console. When the only argument is --help or --version, writes the usage (the
// usage line, the description, the package's closing lines) or the name and version in
// the locale's character set (or the one the variable forces), and ends the process with
// status 0 before anything is read or opened; status 1 when the text could not be
// written. Any other argument is ignored.
void init(int argc, char** argv, const Usage& usage);

}  // namespace rt
