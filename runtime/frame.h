// Program frame: runtime start, version check, the module record made current for a
// run, first-call initialisation, the perform stack, cancel, fatal errors and stop.
//
// A program file declares one Program with its source name and its initialisation,
// and its body is Program::run given the procedure:
//
//   rt::Program program{"civil", initialize};
//   int civil_(int entry) { return program.run(entry, procedure); }
//   int civil() { return civil_(0); }
//   constexpr rt::Usage usage{"civil", "Lit un num\xE9ro ...\n", programs::kUsage};
//   int main(int argc, char** argv) { rt::init(argc, argv, usage); rt::stop_run(civil()); }
//
// (rt::init with the program's Usage is in runtime/usage.h.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace rt {

// The interface version and patch level of this runtime.
inline constexpr char kVersion[] = "0.33";
inline constexpr int kPatchLevel = 0;

// Exit status of a fatal runtime error or a version mismatch.
inline constexpr int kFatalStatus = 2;
// Exit status when standard output could not be written.
inline constexpr int kOutputLostStatus = 1;
// Exit status when something the user asked for was not done (an article not stored,
// a read that failed); a line on standard error said which when it happened.
inline constexpr int kNotDoneStatus = 1;

// A program's settings for the runtime. The layout keeps the six references and the
// eight setting bytes in their order; references are native pointers.
struct ModuleRecord {
  // Only link and map_file_names are read; each member marked "kept" is part of the
  // record's fixed layout and nothing reads it.
  ModuleRecord* link = nullptr;      // the record current when this program's run began
  void* optional1 = nullptr;         // kept
  void* optional2 = nullptr;         // kept
  void* optional3 = nullptr;         // kept
  void** user_parameters = nullptr;  // kept: the program's call-parameter table
  void* optional4 = nullptr;         // kept
  char decimal_point = '.';          // kept
  char currency_symbol = '$';        // kept
  char numeric_separator = ',';      // kept
  uint8_t map_file_names = 1;        // file names are mapped through the environment
  uint8_t truncate_binary = 1;       // kept: machine integers cut to their declared digits
  uint8_t pretty_display = 1;        // kept: numeric fields shown with their leading zeros
  uint8_t unused[2] = {0, 0};        // kept
};

// Runtime globals read or set by the frame.
extern int initialized;               // set by init
extern ModuleRecord* current_module;  // top of the stack of module records
extern int call_params;               // parameters of the current call (always 0)
extern int save_call_params;          // set at every run; kept: a global of the frame; nothing reads it

// Starts the runtime; the arguments are kept only for the program's name in reports. A
// program starts through init(argc, argv, usage) (runtime/usage.h), which calls this
// first; a driver that runs no program's main (the fuzz targets) calls this alone.
void init(int argc, char** argv);

// Accepts a program built for this runtime's version; otherwise reports the mismatch
// on standard error and ends the process with kFatalStatus.
void check_version(const char* source_name, const char* version, int patch_level);

// Fatal error codes.
inline constexpr int kNotInitialized = 0;
inline constexpr int kNoErrorPerform = 1;
inline constexpr int kPerformStackExhausted = 3;

// Reports the error on standard error (one line naming the program) after flushing
// standard output, and ends the process with kFatalStatus.
[[noreturn]] void fatal_error(int code);

// Ends the process with status: runs the stop hooks (files are closed there), flushes
// standard output, and when any output was lost, reports it on standard error and
// exits with kOutputLostStatus instead; a status of 0 becomes kNotDoneStatus when
// something asked for was not done (note_not_done).
[[noreturn]] void stop_run(int status);

// Records that something asked for was not done: stop_run then ends the run with
// kNotDoneStatus instead of 0. The programs' own return code stays as it is.
void note_not_done();

// Registers a hook run by stop_run before output is flushed (at most 8).
void at_stop(void (*hook)());

// Replaces the end of the process at stop, for running a program several times in one
// process (the fuzz drivers): stop_run runs its hooks, flushes and reports as usual,
// then calls handler with the exit status it would have ended with. The handler must
// not return; a driver longjmps back to its own frame, puts current_module back as
// it was before the run, and cancels the program (entry -1) so that the next run
// starts from the initial values. The jump relies on every frame between the driver
// and stop_run having nothing to clean up, as the frame's and the programs' do (their
// data is static). Null restores the end of the process.
using StopHandler = void (*)(int status);
void set_stop_handler(StopHandler handler);

// Storage that lives until the process ends; ends the process when none is left.
void* malloc(size_t size);

// The name the program was started under, for reports on standard error.
const char* program_name();

// Writes one line on standard error, in French: the program's name, " : ", then the
// parts one after another, in a single write, after what standard output holds so far
// (a terminal or a log that gets both shows them in order). The parts are Latin-1, like
// the programs' texts and fields; the line is written in the locale's character set (or
// the one FLEET_CHARSET forces), with control bytes in caret notation, so that no byte
// typed or read from a file can drive the terminal that shows it. A line longer than
// 16 KiB is cut.
void report(std::initializer_list<std::string_view> parts);

// Text in the locale's own character set (a path, a name from the environment, the
// system's words) as Latin-1, the form report takes: written to out (room for
// text.size() bytes), its length returned. In a UTF-8 locale a character beyond
// Latin-1 becomes '?'.
size_t from_locale(std::string_view text, char* out);

// The perform stack of one run: 255 frames, frame 0 the base frame whose label number
// -1 matches no procedure. A perform pushes a frame for the procedure's label number;
// the 255th nested perform ends the process before anything is written to a frame.
class PerformStack {
 public:
  static constexpr int kFrames = 255;

  PerformStack() { reset(); }
  void reset();

  template <class Procedure>
  void perform(int32_t label, Procedure&& procedure) {
    push(label);
    procedure();
    pop();
  }

  int index() const { return index_; }
  int32_t label_at(int index) const { return frames_[index].label_number; }

 private:
  // A procedure returns through the C++ call itself, so the return point is only
  // recorded.
  struct Frame {
    int32_t label_number;
    const void* return_point;  // kept: part of the frame's fixed layout; nothing reads it
  };
  void push(int32_t label);
  void pop() { --index_; }

  Frame frames_[kFrames];
  int index_ = 0;
};

// The frame of one program: its module record, first-call initialisation, runs and
// cancel, and the perform stack of the run in progress.
class Program {
 public:
  using Procedure = void (*)();

  // initialize gives every field its initial value (and sets up the program's files);
  // close_files runs at cancel when the program is initialised.
  Program(const char* source_name, Procedure initialize, Procedure close_files = nullptr);
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // The program body: entry below 0 cancels, any other value runs procedure.
  int run(int entry, Procedure procedure);

  // Performs a procedure through the current run's perform stack.
  void perform(int32_t label, Procedure procedure) { stack_->perform(label, procedure); }

  // Performs procedure until done() holds, testing before each pass.
  template <class Condition>
  void perform_until(int32_t label, Procedure procedure, Condition done) {
    while (!done()) perform(label, procedure);
  }

  int32_t return_code() const { return return_code_; }
  bool initialized() const { return initialized_ != 0; }
  const ModuleRecord& module() const { return module_; }
  const PerformStack* stack() const { return stack_; }

 private:
  void first_call();

  const char* source_name_;
  Procedure initialize_;
  Procedure close_files_;
  // The storage every program has besides its fields, in its fixed order.
  int32_t return_code_ = 0;
  int32_t status_word_ = 0;           // kept: part of the program's fixed storage; nothing reads it
  int32_t call_parameter_count_ = 0;  // kept: part of the program's fixed storage; nothing reads it
  int32_t initialized_ = 0;
  void* user_parameters_[64] = {};  // all null; kept: part of the program's fixed storage; nothing reads it
  ModuleRecord module_;
  PerformStack* stack_ = nullptr;
};

}  // namespace rt
