// Fuzz target: one program's whole dialogue on arbitrary standard input, run
// in-process. fuzz/targets.cmake builds it once per program, from the program's own
// sources with their main renamed program_main; PROGRAM_BODY names the program body
// (civil_) and PROGRAM_NAME the deliverable.
//
// Each input is one run started as the process starts it, through program_main, with
// the input behind standard input and standard output in memory. At stop the
// runtime's stop handler jumps back here; the program is then cancelled, so the next
// run starts from the initial values. Checks:
// - the run ends through stop with status 0 (a fatal error ends the process, which
//   libFuzzer reports as well);
// - its output begins with the output of a run on empty input: what a program writes
//   before its first accept does not depend on the answers;
// - a second run on the same input writes the same bytes: cancel and the first-call
//   initialisation together restore every initial value.
// A program with the article file finds it through `fichier` in a private temporary
// folder, emptied before each run, so every run starts without articles.
#include <setjmp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz/check.h"
#include "runtime/rt.h"

int program_main(int argc, char** argv);
int PROGRAM_BODY(int entry);

namespace {

int input_fd = -1;
int output_fd = -1;
std::string folder;

jmp_buf stopped;
volatile int stop_status = -1;

[[noreturn]] void back_to_driver(int status) {
  stop_status = status;
  longjmp(stopped, 1);
}

void remove_folder() {
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

void empty_folder() {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

struct Run {
  int status;
  std::string out;
};

Run run_once(const uint8_t* data, size_t size) {
  FUZZ_CHECK(ftruncate(input_fd, 0) == 0);
  FUZZ_CHECK(size == 0 || pwrite(input_fd, data, size, 0) == static_cast<ssize_t>(size));
  FUZZ_CHECK(lseek(input_fd, 0, SEEK_SET) == 0);
  FUZZ_CHECK(ftruncate(output_fd, 0) == 0);
  FUZZ_CHECK(lseek(output_fd, 0, SEEK_SET) == 0);
  empty_folder();

  rt::attach_console(input_fd, output_fd);
  rt::set_stop_handler(back_to_driver);
  rt::ModuleRecord* const outer = rt::current_module;
  stop_status = -1;
  if (setjmp(stopped) == 0) {
    char name[] = PROGRAM_NAME;
    char* argv[] = {name, nullptr};
    program_main(1, argv);
    FUZZ_CHECK(!"program_main returned without stopping");
  }
  rt::current_module = outer;
  PROGRAM_BODY(-1);

  struct stat written;
  FUZZ_CHECK(fstat(output_fd, &written) == 0);
  std::string out(static_cast<size_t>(written.st_size), '\0');
  FUZZ_CHECK(pread(output_fd, out.data(), out.size(), 0) == static_cast<ssize_t>(out.size()));
  return {stop_status, out};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  input_fd = memfd_create("standard-input", 0);
  output_fd = memfd_create("standard-output", 0);
  FUZZ_CHECK(input_fd >= 0 && output_fd >= 0);
  char pattern[] = "/tmp/fuzz-" PROGRAM_NAME "-XXXXXX";
  FUZZ_CHECK(mkdtemp(pattern) != nullptr);
  folder = pattern;
  setenv("fichier", (folder + "/articles").c_str(), 1);
  std::atexit(remove_folder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Run before_first_answer = run_once(nullptr, 0);
  FUZZ_CHECK(before_first_answer.status == 0);

  const Run first = run_once(data, size);
  FUZZ_CHECK(first.status == 0);
  FUZZ_CHECK(first.out.compare(0, before_first_answer.out.size(), before_first_answer.out) == 0);
  const Run again = run_once(data, size);
  FUZZ_CHECK(again.status == first.status);
  FUZZ_CHECK(again.out == first.out);
  return 0;
}
