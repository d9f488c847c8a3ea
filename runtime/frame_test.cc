#include "runtime/frame.h"

#include <gtest/gtest.h>

#include <setjmp.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "runtime/console.h"
#include "runtime/field.h"

namespace {

// A small program of the frame's own: a counter that each run increments.
char counter_storage[2];
constexpr rt::Field counter = rt::numeric<2>(counter_storage);
int closes = 0;
void initialize_counter() { rt::initialize({{counter, rt::number("5")}}); }
void close_counter_files() { ++closes; }
rt::Program counter_program{"counter", initialize_counter, close_counter_files};
void bump() { counter_storage[1]++; }

TEST(Program, FirstCallInitialisesOnceAndCancelStartsAgain) {
  rt::initialized = 1;
  EXPECT_EQ(counter_program.run(0, bump), 0);
  EXPECT_EQ(std::string(counter_storage, 2), "06");
  counter_program.run(0, bump);
  EXPECT_EQ(std::string(counter_storage, 2), "07");  // no second initialisation

  EXPECT_EQ(counter_program.run(-1, bump), 0);  // cancel
  EXPECT_FALSE(counter_program.initialized());
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(std::string(counter_storage, 2), "07");  // cancel touches no field
  EXPECT_EQ(counter_program.run(-1, bump), 0);       // a second cancel closes nothing
  EXPECT_EQ(closes, 1);

  counter_program.run(0, bump);
  EXPECT_EQ(std::string(counter_storage, 2), "06");  // initial value again
}

TEST(Program, ModuleRecordIsCurrentDuringTheRunAndRestoredAfter) {
  rt::initialized = 1;
  rt::ModuleRecord outer;
  rt::current_module = &outer;
  static const rt::ModuleRecord* seen = nullptr;
  counter_program.run(0, [] { seen = rt::current_module; });
  EXPECT_EQ(seen, &counter_program.module());
  EXPECT_EQ(counter_program.module().link, &outer);
  EXPECT_EQ(rt::current_module, &outer);
  EXPECT_EQ(counter_program.module().decimal_point, '.');
  EXPECT_EQ(counter_program.module().map_file_names, 1);
  EXPECT_NE(counter_program.module().user_parameters, nullptr);
  rt::current_module = nullptr;
}

// Nested performs, counted.
rt::Program nesting_program{"nesting", [] {}};
int depth_wanted = 0;
int deepest = 0;
void nest() {
  deepest = nesting_program.stack()->index();
  if (deepest < depth_wanted) nesting_program.perform(1, nest);
}

TEST(PerformStack, BaseFrameAndLabels) {
  rt::PerformStack stack;
  EXPECT_EQ(stack.index(), 0);
  EXPECT_EQ(stack.label_at(0), -1);
  stack.perform(7, [&] {
    EXPECT_EQ(stack.index(), 1);
    EXPECT_EQ(stack.label_at(1), 7);
  });
  EXPECT_EQ(stack.index(), 0);
}

TEST(PerformStack, TwoHundredFiftyFourNestedPerformsRun) {
  rt::initialized = 1;
  depth_wanted = 254;
  nesting_program.run(0, [] { nesting_program.perform(1, nest); });
  EXPECT_EQ(deepest, 254);
}

TEST(PerformStackDeathTest, TheTwoHundredFiftyFifthEndsTheProcess) {
  rt::initialized = 1;
  depth_wanted = 255;
  EXPECT_EXIT(nesting_program.run(0, [] { nesting_program.perform(1, nest); }),
              testing::ExitedWithCode(rt::kFatalStatus), "pile des appels .* \\(erreur 3\\)");
}

TEST(FrameDeathTest, RunWithoutStartIsFatalErrorZero) {
  rt::initialized = 0;
  rt::Program fresh{"fresh", [] {}};
  EXPECT_EXIT(fresh.run(0, [] {}), testing::ExitedWithCode(rt::kFatalStatus), "\\(erreur 0\\)");
  rt::initialized = 1;
}

TEST(FrameDeathTest, VersionCheck) {
  rt::check_version("civil", "0.33", 0);  // accepted
  EXPECT_EXIT(rt::check_version("civil", "0.34", 0), testing::ExitedWithCode(rt::kFatalStatus),
              "civil .* 0\\.34 \\(correctif 0\\), celle-ci est la 0\\.33");
  EXPECT_EXIT(rt::check_version("civil", "0.33", 1), testing::ExitedWithCode(rt::kFatalStatus), "\\(correctif 1\\)");
}

TEST(FrameDeathTest, StopRunsHooksAndExitsWithTheStatus) {
  EXPECT_EXIT(
      {
        rt::at_stop([] { rt::new_display(0, 1, {rt::literal("closed")}); });
        rt::stop_run(0);
      },
      testing::ExitedWithCode(0), "");
  EXPECT_EXIT(rt::stop_run(5), testing::ExitedWithCode(5), "");
}

// A run in-process: the stop handler brings control back here instead of ending the
// process, and a cancel readies the program for the next run.
jmp_buf stopped;
int stopped_with = -1;
[[noreturn]] void back_to_test(int status) {
  stopped_with = status;
  longjmp(stopped, 1);
}
int hooks_run = 0;

struct InProcess {
  int status;
  std::string out;
};

// Runs counter_program on input through the console hooks; output_fd -1 loses output.
InProcess run_in_process(const std::string& input, bool lose_output = false) {
  int in[2], out[2];
  EXPECT_EQ(pipe(in), 0);
  EXPECT_EQ(pipe(out), 0);
  EXPECT_EQ(write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(in[1]);
  rt::attach_console(in[0], lose_output ? -1 : out[1]);
  rt::set_stop_handler(back_to_test);
  rt::at_stop([] { ++hooks_run; });
  rt::ModuleRecord* const outer = rt::current_module;
  stopped_with = -1;
  if (setjmp(stopped) == 0) {
    counter_program.run(0, [] {
      bump();
      rt::new_display(0, 1, {counter});
      rt::accept(counter);  // at end of input: stop, status 0
      rt::new_display(0, 1, {counter});
      rt::stop_run(7);
    });
  }
  rt::current_module = outer;
  counter_program.run(-1, nullptr);
  rt::set_stop_handler(nullptr);
  rt::attach_console(STDIN_FILENO, STDOUT_FILENO);
  close(in[0]);
  close(out[1]);
  InProcess result{stopped_with, ""};
  char buffer[256];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  return result;
}

TEST(StopHandler, TakesTheStatusInsteadOfEndingTheProcess) {
  rt::initialized = 1;
  const int hooks_before = hooks_run;
  InProcess first = run_in_process("42\n");
  EXPECT_EQ(first.status, 7);
  EXPECT_EQ(first.out, "06\n42\n");
  EXPECT_GT(hooks_run, hooks_before);  // the stop hooks ran first
  EXPECT_FALSE(counter_program.initialized());

  InProcess second = run_in_process("");  // cancelled: initial values again
  EXPECT_EQ(second.status, 0);            // end of input stops with status 0
  EXPECT_EQ(second.out, "06\n");

  testing::internal::CaptureStderr();
  InProcess lost = run_in_process("1\n", true);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(lost.status, rt::kOutputLostStatus);
  EXPECT_NE(err.find("crire sur la sortie standard"), std::string::npos) << err;
}

}  // namespace
