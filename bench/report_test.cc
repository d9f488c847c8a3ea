// The benchmark table: number formats, verdicts against targets, CSV quoting.
#include "bench/report.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

TEST(Format, NumbersAsTheTableShowsThem) {
  EXPECT_EQ(bench::grouped(0), "0");
  EXPECT_EQ(bench::grouped(999), "999");
  EXPECT_EQ(bench::grouped(1000), "1,000");
  EXPECT_EQ(bench::grouped(20000), "20,000");
  EXPECT_EQ(bench::grouped(1234567.4), "1,234,567");
  EXPECT_EQ(bench::grouped(-1500), "-1,500");
  EXPECT_EQ(bench::milliseconds(612345), "0.612 ms");
  EXPECT_EQ(bench::milliseconds(45.25e6), "45.2 ms");
  EXPECT_EQ(bench::milliseconds(1.5e9), "1500 ms");
  EXPECT_EQ(bench::mebibytes(1536), "1.50 MiB");
}

TEST(Verdict, RatioAgainstItsLimit) {
  struct Case {
    double ratio, limit;
    bench::Verdict verdict;
  };
  const Case cases[] = {{1.0, 1.3, bench::Verdict::kMet},
                        {1.3, 1.3, bench::Verdict::kMet},
                        {1.31, 1.3, bench::Verdict::kMissed},
                        {0.5, 1.5, bench::Verdict::kMet},
                        {2.0, 1.5, bench::Verdict::kMissed}};
  for (const Case& c : cases) {
    const bench::Row row = bench::ratio_row("m", "p", "v", "f", c.ratio, c.limit);
    EXPECT_EQ(row.verdict, c.verdict) << c.ratio;
  }
}

TEST(Report, TableAndCsv) {
  bench::Report report;
  report.add(bench::ratio_row("start-up", "civil", "0.6 ms", "0.5 ms", 1.2, 1.3));
  report.add(bench::ratio_row("start-up", "sieve", "0.9 ms", "0.5 ms", 1.8, 1.3));
  report.add({"start-up", "mirror1", "", "", "", "", bench::Verdict::kSkipped, "not built"});
  report.add({"micro", "BM_x", "1.0 ns", "", "", "", bench::Verdict::kInfo, "a, \"b\""});
  EXPECT_EQ(report.missed(), 1);

  std::ostringstream table;
  report.print(table);
  EXPECT_NE(table.str().find("| civil   |"), std::string::npos) << table.str();
  EXPECT_NE(table.str().find("MISSED"), std::string::npos);
  EXPECT_NE(table.str().find("1 of 2 targets met, 1 missed"), std::string::npos);

  std::ostringstream csv;
  report.write_csv(csv);
  EXPECT_EQ(csv.str(),
            "measure,program,value,floor,ratio,target,result,note\n"
            "start-up,civil,0.6 ms,0.5 ms,1.20,<= 1.3,ok,\n"
            "start-up,sieve,0.9 ms,0.5 ms,1.80,<= 1.3,MISSED,\n"
            "start-up,mirror1,,,,,skipped,not built\n"
            "micro,BM_x,1.0 ns,,,,,\"a, \"\"b\"\"\"\n");
}

}  // namespace
