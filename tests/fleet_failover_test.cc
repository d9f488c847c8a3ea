// autolog on a URI with two hosts, a primary and its streaming standby, while the
// primary restarts and then stops for good and the standby is promoted, all in the
// middle of a run of articles: every article it acknowledged is stored, none twice.
// And fleet import, whose batch is lost in a restart: it is decided, and the import
// goes on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

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

TEST(FleetOnTwoServers, AnImportWhoseBatchIsLostInARestartStoresEveryRowOnce) {
  constexpr int kRows = 50;
  testkit::ServerPair pair;
  ASSERT_TRUE(pair.ok());
  const std::vector<std::string> env{"fichier=" + pair.uri(), "LC_ALL=C.UTF-8"};
  std::string csv =
      "immatriculation,semaine,lundi_km,lundi_frais,mardi_km,mardi_frais,mercredi_km,mercredi_frais,jeudi_km,"
      "jeudi_frais,vendredi_km,vendredi_frais,samedi_km,samedi_frais,dimanche_km,dimanche_frais\n";
  dialogue::LiveProgram creation("fleet", env, {"import"});
  creation.send(csv);
  ASSERT_EQ(creation.wait(), 0) << creation.err();
  // The batch waits for a lock, and the server restarts under it.
  testkit::Session primary(pair.primary_uri()), watcher(pair.primary_uri());
  primary.sql("BEGIN; LOCK TABLE articles IN ACCESS EXCLUSIVE MODE");
  for (int i = 0; i < kRows; ++i) csv += plate(i) + ",7,1,2.50,1,2.50,1,2.50,1,2.50,1,2.50,1,2.50,1,2.50\n";
  dialogue::LiveProgram import("fleet", env, {"import"});
  import.send(csv);
  import.close_input();
  const std::string waiting =
      "SELECT count(*) FROM pg_stat_activity WHERE application_name = 'fleet' AND wait_event_type = 'Lock'";
  for (int look = 0; look < 200 && watcher.sql(waiting) != testkit::Rows{{"1"}}; ++look) usleep(50000);
  ASSERT_EQ(watcher.sql(waiting), testkit::Rows{{"1"}});
  ASSERT_TRUE(pair.stop_primary());
  ASSERT_TRUE(pair.start_primary());

  EXPECT_EQ(import.wait(), 0) << import.err();
  EXPECT_EQ(import.err(),
            "fleet : " + std::to_string(kRows) + " articles enregistr\xC3\xA9s, 0 ligne refus\xC3\xA9\x65\n");
  testkit::Session restarted(pair.primary_uri());
  EXPECT_EQ(restarted.sql("SELECT count(*), count(DISTINCT key0) FROM articles"),
            (testkit::Rows{{std::to_string(kRows), std::to_string(kRows)}}));
}

}  // namespace
