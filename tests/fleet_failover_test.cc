// autolog on a URI with two hosts, a primary and its streaming standby, while the
// primary restarts and then stops for good and the standby is promoted, all in the
// middle of a run of articles: every article it acknowledged is stored, none twice.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "testing/live_program.h"
#include "testing/pg_pair.h"
#include "tests/fleet.h"

namespace {

using fleet_test::add_article;
using fleet_test::kQuestion;

constexpr int kArticles = 30;  // in fives

std::string plate(int i) { return "FO" + std::to_string(1000 + i); }

TEST(FleetOnTwoServers, NoArticleLostOrStoredTwiceThroughARestartAndAFailOver) {
  testkit::ServerPair pair;
  ASSERT_TRUE(pair.ok());
  dialogue::LiveProgram autolog("autolog", {"fichier=" + pair.uri()});
  ASSERT_TRUE(autolog.wait_for(kQuestion, 1)) << autolog.out() << autolog.err();
  ASSERT_TRUE(autolog.out().starts_with("00\n")) << autolog.out();
  // Articles come in fives, the middle ones typed while no server takes writes.
  int sent = 0;
  const auto send_five = [&] {
    std::string five;
    for (int end = sent + 5; sent < end; ++sent) five += add_article("07", plate(sent));
    autolog.send(five);
  };
  const auto all_answered = [&] { return autolog.wait_for(kQuestion, static_cast<size_t>(sent) + 1, 40000); };
  send_five();
  ASSERT_TRUE(all_answered());
  ASSERT_TRUE(pair.stop_primary());
  send_five();
  usleep(1000000);  // away for a while, then back
  ASSERT_TRUE(pair.start_primary());
  send_five();
  ASSERT_TRUE(all_answered());
  ASSERT_TRUE(pair.streaming());
  ASSERT_TRUE(pair.stop_primary());
  send_five();
  usleep(1000000);
  ASSERT_TRUE(pair.promote_standby());
  send_five();
  send_five();
  ASSERT_TRUE(all_answered());
  autolog.send("n\n");

  EXPECT_EQ(autolog.wait(), 0);
  EXPECT_EQ(autolog.err(), "");
  testkit::Session promoted(pair.standby_uri());
  const testkit::Rows counted = promoted.sql("SELECT count(*), count(DISTINCT key0) FROM articles");
  EXPECT_EQ(counted, (testkit::Rows{{std::to_string(kArticles), std::to_string(kArticles)}}));
  std::string expected_plates;
  for (int i = 0; i < kArticles; ++i) expected_plates += plate(i) + "  ";
  EXPECT_EQ(promoted.sql("SELECT string_agg(encode(key0, 'escape'), '' ORDER BY key0) FROM articles"),
            (testkit::Rows{{expected_plates}}));
}

}  // namespace
