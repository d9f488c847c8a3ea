// Program frame: start, version check, runs, cancel, fatal errors and stop.
#include "runtime/frame.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/console.h"

namespace rt {

int initialized = 0;
ModuleRecord* current_module = nullptr;
int call_params = 0;
int save_call_params = 0;

namespace {

const char* name = "runtime";
void (*stop_hooks[8])() = {};
int stop_hook_count = 0;
StopHandler stop_handler = nullptr;
bool not_done = false;

[[noreturn]] void end_process(int status) {
  if (stop_handler != nullptr) stop_handler(status);
  std::exit(status);  // also if a handler came back
}

}  // namespace

void init(int argc, char** argv) {
  if (argc > 0 && argv != nullptr && argv[0] != nullptr && argv[0][0] != '\0') {
    const char* slash = std::strrchr(argv[0], '/');
    name = slash ? slash + 1 : argv[0];
  }
  initialized = 1;
}

const char* program_name() { return name; }

void report(std::initializer_list<std::string_view> parts) {
  // One write of the whole line, so that lines of several processes do not mix.
  iovec pieces[16];
  int count = 0;
  pieces[count++] = {const_cast<char*>(name), std::strlen(name)};
  pieces[count++] = {const_cast<char*>(": "), 2};
  for (std::string_view part : parts) {
    if (count == 15) break;
    pieces[count++] = {const_cast<char*>(part.data()), part.size()};
  }
  pieces[count++] = {const_cast<char*>("\n"), 1};
  ssize_t ignored = ::writev(STDERR_FILENO, pieces, count);
  (void)ignored;
}

void check_version(const char* source_name, const char* version, int patch_level) {
  if (std::strcmp(version, kVersion) == 0 && patch_level <= kPatchLevel) return;
  char detail[200];
  std::snprintf(detail, sizeof detail,
                "%.40s was built for runtime %.20s patch level %d, this runtime is %s patch level %d", source_name,
                version, patch_level, kVersion, kPatchLevel);
  standard_output().flush();
  report({detail});
  std::exit(kFatalStatus);
}

void fatal_error(int code) {
  static const char* const texts[] = {"runtime not initialised (error 0)",
                                      "file error path reached without its perform (error 1)", "runtime error 2",
                                      "perform stack exhausted (error 3)"};
  standard_output().flush();
  report({"fatal error: ", code >= 0 && code <= 3 ? texts[code] : "unknown runtime error"});
  std::exit(kFatalStatus);
}

void at_stop(void (*hook)()) {
  for (int i = 0; i < stop_hook_count; ++i) {
    if (stop_hooks[i] == hook) return;
  }
  if (stop_hook_count < 8) stop_hooks[stop_hook_count++] = hook;
}

void set_stop_handler(StopHandler handler) { stop_handler = handler; }

void note_not_done() { not_done = true; }

void stop_run(int status) {
  for (int i = 0; i < stop_hook_count; ++i) stop_hooks[i]();  // a close may fail too
  if (status == 0 && not_done) status = kNotDoneStatus;
  not_done = false;  // a fuzz driver runs the program again
  OutputBuffer& out = standard_output();
  out.flush();
  if (out.error() != 0) {
    report({"write error on standard output: ", std::strerror(out.error())});
    end_process(kOutputLostStatus);
  }
  end_process(status);
}

void* malloc(size_t size) {
  void* storage = std::calloc(1, size == 0 ? 1 : size);
  if (storage == nullptr) {
    standard_output().flush();
    report({"out of memory"});
    std::exit(kFatalStatus);
  }
  return storage;
}

void PerformStack::reset() {
  index_ = 0;
  frames_[0].label_number = -1;
  frames_[0].return_point = nullptr;
}

__attribute__((noinline)) void PerformStack::push(int32_t label) {
  if (index_ + 1 > kFrames - 1) fatal_error(kPerformStackExhausted);
  ++index_;
  frames_[index_].label_number = label;
  frames_[index_].return_point = __builtin_return_address(0);
}

Program::Program(const char* source_name, Procedure initialize, Procedure close_files)
    : source_name_(source_name), initialize_(initialize), close_files_(close_files) {
  module_.user_parameters = user_parameters_;
}

void Program::first_call() {
  if (rt::initialized == 0) fatal_error(kNotInitialized);
  check_version(source_name_, kVersion, kPatchLevel);
  return_code_ = 0;
  status_word_ = 0;
  call_parameter_count_ = 0;
  initialize_();
  initialized_ = 1;
}

int Program::run(int entry, Procedure procedure) {
  if (entry < 0) {  // cancel
    if (initialized_ == 1) {
      if (close_files_ != nullptr) close_files_();
      initialized_ = 0;
    }
    return 0;
  }
  module_.link = current_module;
  current_module = &module_;
  if (initialized_ == 0) first_call();

  PerformStack stack;  // this run's own perform stack
  PerformStack* outer = stack_;
  stack_ = &stack;
  call_parameter_count_ = call_params;
  save_call_params = call_params;

  procedure();

  stack_ = outer;
  current_module = module_.link;
  return return_code_;
}

}  // namespace rt
