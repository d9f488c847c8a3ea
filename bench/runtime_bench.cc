// Micro-benchmarks of the runtime's hot operations: what every accept parses, what
// every display writes, what every loop test compares. For regressions: the figures
// have no target of their own.
//
// Displays go through the real output buffer, which writes to standard output when
// it fills; standard output is pointed at /dev/null for the run and the report goes
// to the original standard output instead.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <ext/stdio_filebuf.h>

#include <ostream>

#include "runtime/rt.h"

namespace {

char week_storage[2];
char mileage_storage[4];
char costs_storage[6];
char plate_storage[8];
char day_index_storage[1] = {'7'};
char day_total_storage[6] = {'0', '1', '2', '3', '4', '5'};
constexpr rt::Field week = rt::numeric<2>(week_storage);
constexpr rt::Field mileage = rt::numeric<4>(mileage_storage);
constexpr rt::Field costs = rt::numeric<6, 2>(costs_storage);
constexpr rt::Field plate = rt::alphanumeric(plate_storage);
constexpr rt::Field day_total = rt::numeric<6>(day_total_storage);
constexpr rt::Item prompt = rt::literal("KILOMETRAGE : ");
constexpr rt::Item label = rt::literal(
    "Ann\xE9"
    "e de naissance : ");

// Accept parsing: a typed line into its field, by the move rules.
void BM_store_text_week(benchmark::State& state) {
  for (auto _ : state) {
    rt::store_text("12", 2, week);
    benchmark::DoNotOptimize(week_storage);
  }
}
BENCHMARK(BM_store_text_week);

void BM_store_text_mileage(benchmark::State& state) {
  for (auto _ : state) {
    rt::store_text("250", 3, mileage);
    benchmark::DoNotOptimize(mileage_storage);
  }
}
BENCHMARK(BM_store_text_mileage);

void BM_store_text_costs(benchmark::State& state) {
  for (auto _ : state) {
    rt::store_text("1234.56", 7, costs);
    benchmark::DoNotOptimize(costs_storage);
  }
}
BENCHMARK(BM_store_text_costs);

void BM_move_line_to_plate(benchmark::State& state) {
  constexpr rt::Item line = rt::literal("AB123CD");
  for (auto _ : state) {
    rt::move(line, plate);
    benchmark::DoNotOptimize(plate_storage);
  }
}
BENCHMARK(BM_move_line_to_plate);

void BM_move_numeric_to_numeric(benchmark::State& state) {
  for (auto _ : state) {
    rt::move(day_total, costs);
    benchmark::DoNotOptimize(costs_storage);
  }
}
BENCHMARK(BM_move_numeric_to_numeric);

// Display into the output buffer.
void BM_new_display_prompt(benchmark::State& state) {
  for (auto _ : state) rt::new_display(0, 0, {prompt});
}
BENCHMARK(BM_new_display_prompt);

void BM_new_display_label_and_field(benchmark::State& state) {
  for (auto _ : state) rt::new_display(0, 1, {label, week});
}
BENCHMARK(BM_new_display_label_and_field);

// Loop tests and subscripts.
void BM_cmp_numdisp_1_digit(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(rt::cmp_numdisp(day_index_storage, 1, 8));
}
BENCHMARK(BM_cmp_numdisp_1_digit);

void BM_cmp_numdisp_6_digits(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(rt::cmp_numdisp(day_total_storage, 6, 12345));
}
BENCHMARK(BM_cmp_numdisp_6_digits);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const int console = dup(STDOUT_FILENO);
  const int null = open("/dev/null", O_WRONLY);
  if (console < 0 || null < 0 || dup2(null, STDOUT_FILENO) < 0) return 1;
  close(null);
  __gnu_cxx::stdio_filebuf<char> console_buffer(console, std::ios::out);
  std::ostream console_stream(&console_buffer);
  benchmark::ConsoleReporter reporter;
  reporter.SetOutputStream(&console_stream);
  reporter.SetErrorStream(&console_stream);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  rt::standard_output().flush();
  return 0;
}
