// Program frame: start, version check, runs, cancel, fatal errors and stop.
#include "runtime/frame.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/charset.h"
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

// The character set of the lines on standard error, decided at the first one.
bool messages_in_utf8() {
  static int utf8 = -1;
  if (utf8 < 0) {
    Charset charset;
    if (!forced_charset(&charset)) charset = locale_charset();
    utf8 = charset == Charset::kUtf8 ? 1 : 0;
  }
  return utf8 == 1;
}

// What the system says of an error number, in French for those met writing the output.
std::string_view french_error(int error, char* other) {
  static constexpr struct {
    int error;
    const char* text;
  } kTexts[] = {
      {ENOSPC, "plus de place sur le disque"},
      {EDQUOT, "quota de disque d\xE9pass\xE9"},
      {EIO,
       "erreur d'entr\xE9"
       "e-sortie"},
      {EPIPE, "plus personne ne lit la sortie"},
      {EBADF,
       "sortie ferm\xE9"
       "e"},
      {EFBIG, "fichier trop grand"},
      {EACCES, "acc\xE8s refus\xE9"},
      {EPERM, "op\xE9ration non permise"},
      {EROFS, "syst\xE8me de fichiers en lecture seule"},
  };
  for (const auto& entry : kTexts) {
    if (entry.error == error) return entry.text;
  }
  const int length = std::snprintf(other, 160, "erreur syst\xE8me %d (%.100s)", error, std::strerror(error));
  return {other, length > 0 ? static_cast<size_t>(length) : 0};
}

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

size_t from_locale(std::string_view text, char* out) {
  if (messages_in_utf8()) return decode_utf8(text, out);
  std::memcpy(out, text.data(), text.size());
  return text.size();
}

void report(std::initializer_list<std::string_view> parts) {
  // One write of the whole line, so that lines of several processes do not mix.
  static char line[16384];
  constexpr size_t kPiece = 256;
  const bool utf8 = messages_in_utf8();
  size_t used = 0;
  const auto add = [&](std::string_view latin1) {
    for (size_t at = 0; at < latin1.size(); at += kPiece) {
      if (sizeof line - 1 - used < kPiece * kMaxEncodedLength) return;  // full: the rest is cut
      const size_t length = latin1.size() - at < kPiece ? latin1.size() - at : kPiece;
      used += encode({latin1.data() + at, length}, utf8, true, line + used);
    }
  };
  char own_name[256];
  const size_t name_length = std::strlen(name) < sizeof own_name ? std::strlen(name) : sizeof own_name;
  add({own_name, from_locale({name, name_length}, own_name)});
  add(" : ");
  for (std::string_view part : parts) add(part);
  line[used++] = '\n';
  standard_output().flush();
  ssize_t ignored = ::write(STDERR_FILENO, line, used);
  (void)ignored;
}

void check_version(const char* source_name, const char* version, int patch_level) {
  if (std::strcmp(version, kVersion) == 0 && patch_level <= kPatchLevel) return;
  char detail[200];
  std::snprintf(detail, sizeof detail,
                "%.40s a \xE9t\xE9 construit pour la biblioth\xE8que d'ex\xE9"
                "cution %.20s (correctif %d), "
                "celle-ci est la %s (correctif %d)",
                source_name, version, patch_level, kVersion, kPatchLevel);
  report({detail});
  std::exit(kFatalStatus);
}

void fatal_error(int code) {
  static const char* const texts[] = {
      "ex\xE9"
      "cution non d\xE9marr\xE9"
      "e (erreur 0)",
      "traitement d'erreur de fichier atteint sans son appel (erreur 1)",
      "erreur d'ex\xE9"
      "cution 2",
      "pile des appels de proc\xE9"
      "dure \xE9puis\xE9"
      "e (erreur 3)"};
  report({"erreur fatale : ", code >= 0 && code <= 3 ? texts[code]
                                                     : "erreur d'ex\xE9"
                                                       "cution inconnue"});
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
    char other[160];
    report(
        {"impossible d'\xE9"
         "crire sur la sortie standard : ",
         french_error(out.error(), other)});
    end_process(kOutputLostStatus);
  }
  end_process(status);
}

void* malloc(size_t size) {
  void* storage = std::calloc(1, size == 0 ? 1 : size);
  if (storage == nullptr) {
    report(
        {"m\xE9moire \xE9puis\xE9"
         "e"});
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
