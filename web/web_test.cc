// The pieces of fleet serve's pages: keyset pages in each order, cursors, what may be
// listened on, and text from a file made safe for a page, an address and a cookie.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "web/access.h"
#include "web/article_page.h"
#include "web/forms.h"
#include "web/html.h"
#include "web/signed_session.h"
#include "web/throttle.h"
#include "web/users.h"

namespace fleet::web {
namespace {

Entry entry(const std::string& plate, uint16_t file, uint8_t week, uint32_t mileage, uint32_t cents) {
  Entry e{};
  std::string padded = plate;
  padded.resize(layout::kPlate.width, ' ');
  std::copy_n(padded.begin(), e.plate.size(), e.plate.begin());
  e.file = file;
  e.week = week;
  e.mileage = mileage;
  e.cents = cents;
  return e;
}

std::string name(const Entry& e) { return plate_utf8(e.plate_bytes()) + "/" + std::to_string(e.file); }

std::vector<std::string> names(const ArticlePage& page) {
  std::vector<std::string> out;
  for (const Entry* e : page.entries) out.push_back(name(*e));
  return out;
}

Cursor cursor_of(const Entry& e) {
  Cursor c;
  EXPECT_TRUE(parse_cursor(cursor_text(e), &c));
  return c;
}

TEST(ArticlePages, OrdersAndSearchOnAFewArticles) {
  Listing listing;
  // In plate order, then file order, as FleetData hands them over.
  listing.entries = {entry("AB1", 0, 7, 100, 500), entry("AB1", 1, 8, 100, 300), entry("C", 0, 7, 50, 500),
                     entry("ab2", 0, 3, 0, 100)};
  const struct {
    Sort sort;
    bool descending;
    std::string prefix;
    std::vector<std::string> expected;
  } cases[] = {
      {Sort::kPlate, false, "", {"AB1/0", "AB1/1", "C/0", "ab2/0"}},  // byte order
      {Sort::kPlate, true, "", {"ab2/0", "C/0", "AB1/1", "AB1/0"}},
      {Sort::kPlate, false, "ab", {"AB1/0", "AB1/1", "ab2/0"}},  // letters in either case
      {Sort::kPlate, false, "AB1 ", {"AB1/0", "AB1/1"}},         // the stored filling
      {Sort::kPlate, false, "Z", {}},
      {Sort::kWeek, false, "", {"ab2/0", "AB1/0", "C/0", "AB1/1"}},
      {Sort::kMileage, true, "", {"AB1/1", "AB1/0", "C/0", "ab2/0"}},
      {Sort::kCosts, false, "", {"ab2/0", "AB1/1", "AB1/0", "C/0"}},
      // 10.00, 5.00 and 3.00 a kilometre; without kilometres, none: last of the dearest first.
      {Sort::kCostPerKm, true, "", {"C/0", "AB1/0", "AB1/1", "ab2/0"}},
      {Sort::kCostPerKm, false, "", {"ab2/0", "AB1/1", "AB1/0", "C/0"}},
  };
  for (const auto& c : cases) {
    PageQuery query;
    query.sort = c.sort;
    query.descending = c.descending;
    query.prefix = c.prefix;
    const ArticlePage page = page_of(listing, query);
    EXPECT_EQ(names(page), c.expected) << static_cast<int>(c.sort) << " " << c.descending << " '" << c.prefix << "'";
    EXPECT_EQ(page.matching, c.expected.size());
    EXPECT_FALSE(page.earlier || page.later);
  }
}

// Every article once, in order, page after page; and the same pages walking back.
TEST(ArticlePages, WalkingForwardAndBackGivesEachArticleOnceInOrder) {
  Listing listing;
  for (uint32_t i = 0; i < 240; ++i) {
    char plate[9];
    std::snprintf(plate, sizeof plate, "P%03u", i / 2);  // two files share each plate
    listing.entries.push_back(
        entry(plate, static_cast<uint16_t>(i % 2), static_cast<uint8_t>(i % 5), (i * 37) % 10 * 100, (i * 53) % 700));
  }
  auto value = [](Sort sort, const Entry& e) -> double {
    switch (sort) {
      case Sort::kWeek:
        return e.week;
      case Sort::kMileage:
        return e.mileage;
      case Sort::kCosts:
        return e.cents;
      case Sort::kCostPerKm:
        return e.mileage == 0 ? -1 : static_cast<double>(e.cents) / e.mileage;
      default:
        return 0;
    }
  };
  for (size_t s = 0; s < kSorts; ++s) {
    for (const bool descending : {false, true}) {
      for (const std::string prefix : {"", "p1", "P00", "Q"}) {
        PageQuery query;
        query.sort = static_cast<Sort>(s);
        query.descending = descending;
        query.prefix = prefix;
        std::vector<std::vector<std::string>> forward;
        std::vector<const Entry*> seen;
        for (ArticlePage page = page_of(listing, query);; page = page_of(listing, query)) {
          ASSERT_EQ(page.first, seen.size());
          if (!page.entries.empty()) forward.push_back(names(page));
          seen.insert(seen.end(), page.entries.begin(), page.entries.end());
          if (!page.later) break;
          query.after = cursor_of(*page.entries.back());
        }
        std::set<std::string> distinct;
        for (size_t i = 0; i < seen.size(); ++i) {
          distinct.insert(name(*seen[i]));
          if (i > 0 && query.sort != Sort::kPlate) {
            const double before = value(query.sort, *seen[i - 1]), now = value(query.sort, *seen[i]);
            EXPECT_TRUE(descending ? before >= now : before <= now) << s << " at " << i;
          }
        }
        const size_t expected = prefix.empty() ? 240 : prefix == "Q" ? 0 : prefix == "p1" ? 40 : 20;
        EXPECT_EQ(distinct.size(), expected) << s << " " << descending << " " << prefix;
        EXPECT_EQ(seen.size(), expected);

        // Back from the last page: the pages come again, last first.
        query.after.reset();
        std::vector<std::vector<std::string>> back;
        for (size_t page_number = forward.size(); page_number-- > 1;) {
          const Entry* first = seen[page_number * ArticlePage::kSize];
          query.before = cursor_of(*first);
          back.push_back(names(page_of(listing, query)));
          EXPECT_EQ(back.back(), forward[page_number - 1]) << s << " page " << page_number;
        }
      }
    }
  }
}

TEST(ArticlePages, CursorsComeBackAndOddOnesAreRefused) {
  const Entry hostile = entry(std::string("a.b\x1B\xE9<", 6), 3, 12, 9999, 999999);
  Cursor back;
  ASSERT_TRUE(parse_cursor(cursor_text(hostile), &back));
  EXPECT_EQ(back.plate, std::string(hostile.plate_bytes()));
  EXPECT_EQ(std::vector<uint32_t>({back.file, back.week, back.mileage, back.cents}),
            std::vector<uint32_t>({3, 12, 9999, 999999}));
  Cursor ignored;
  for (const char* odd : {"", "1.2.3", "x.1.1.1.A", "1.1.1.1.NINECHARS", "1.1.1.1234567890.A", "-1.1.1.1.A",
                          "1.1.1.1.\xFF", "1.1.1.1.\xE2\x82\xAC"}) {
    EXPECT_FALSE(parse_cursor(odd, &ignored)) << odd;
  }
}

TEST(Listening, OnlyTheLoopbackUntilThereAreUsers) {
  const struct {
    const char* text;
    bool parsed;
    bool loopback;
    const char* host;
    int port;
  } cases[] = {
      {"127.0.0.1:8080", true, true, "127.0.0.1", 8080},
      {"127.1.2.3:0", true, true, "127.1.2.3", 0},
      {"localhost:9000", true, true, "127.0.0.1", 9000},  // not looked up
      {"[::1]:80", true, true, "::1", 80},
      {"0.0.0.0:8080", true, false, "0.0.0.0", 8080},
      {"192.168.1.20:8080", true, false, "192.168.1.20", 8080},
      {"[::]:8080", true, false, "::", 8080},
      {"[::ffff:127.0.0.1]:80", true, false, "::ffff:127.0.0.1", 80},
      {"127.0.0.1", false},
      {"127.0.0.1:65536", false},
      {"127.0.0.1:-1", false},
      {"127.0.0.1:80x", false},
      {"exemple.fr:80", false},
      {"::1:80", false},
      {":8080", false},
  };
  for (const auto& c : cases) {
    ListenAddress address;
    std::string why;
    ASSERT_EQ(parse_listen(c.text, &address, &why), c.parsed) << c.text;
    if (!c.parsed) {
      EXPECT_FALSE(why.empty()) << c.text;
      continue;
    }
    EXPECT_EQ(address.loopback, c.loopback) << c.text;
    EXPECT_EQ(address.host, c.host) << c.text;
    EXPECT_EQ(address.port, c.port) << c.text;
  }
}

TEST(Pages, TextFromAFileIsShownHarmlessly) {
  const struct {
    std::string stored;
    std::string html;
    std::string address;
  } cases[] = {
      {"<script>", "&lt;script&gt;", "/articles/%3Cscript%3E"},
      {"\"'&x    ", "&quot;&#39;&amp;x", "/articles/%22%27%26x"},
      {"\x1B[2J\x07\x9B ", "^[[2J^GM-^[", "/articles/%1B%5B2J%07%C2%9B"},
      {"A B/\xE9.", "A B/\xC3\xA9.", "/articles/A%20B%2F%C3%A9."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(plate_html(c.stored), c.html);
    EXPECT_EQ(car_address(c.stored), c.address);
  }
  EXPECT_EQ(escaped("<a href=\"x\">'&'</a>"), "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
}

TEST(Access, SessionsAndTheirCookie) {
  Access access;
  ASSERT_EQ(access.token().size(), 32u);  // 128 bits
  EXPECT_TRUE(access.is_token(access.token()));
  EXPECT_FALSE(access.is_token(""));
  EXPECT_FALSE(access.is_token(access.token().substr(1)));
  const std::string first = access.open_session({"", true, ""});
  ASSERT_TRUE(access.session(first).has_value());
  EXPECT_EQ(access.session(first)->csrf.size(), 32u);
  EXPECT_FALSE(access.session(access.token()).has_value());
  for (size_t i = 0; i < Access::kSessionsMost; ++i) access.open_session({});
  EXPECT_FALSE(access.session(first).has_value());  // the oldest goes

  const struct {
    const char* header;
    const char* value;
  } cookies[] = {
      {"fleet_session=abc", "abc"},
      {"a=1; fleet_session=abc; b=2", "abc"},
      {"fleet_session_old=1;fleet_session=x", "x"},
      {"xfleet_session=1", ""},
      {"", ""},
  };
  for (const auto& c : cookies) EXPECT_EQ(cookie_value(c.header, kSessionCookie), c.value) << c.header;
}

// The form's values, as typed, to the record stored: autolog's bytes for the same
// answers (spare bytes zero), or the one field refused.
TEST(ArticleForm, TypedValuesToRecordOrMessage) {
  const std::string zero_days(60, '0');
  const std::string spare(8, '\0');
  struct Case {
    std::map<std::string, std::string> typed;
    std::string record;   // plate, week and days; the spare bytes are added
    std::string refused;  // else the column refused
  };
  const Case cases[] = {
      {{{"immatriculation", "AB-12"}, {"semaine", "7"}, {"lundi_km", "12"}, {"lundi_frais", "12,50"}},
       "AB-12   07"
       "0012001250" +
           zero_days,
       ""},
      {{{"immatriculation", "AB-12"}, {"semaine", " 07 "}, {"lundi_km", "+12"}, {"lundi_frais", "12.5"}},
       "AB-12   07"
       "0012001250" +
           zero_days,
       ""},
      {{{"immatriculation", " X"}},
       " X      00"
       "0000000000" +
           zero_days,
       ""},  // leading spaces kept, as accept
      {{{"immatriculation", "\xC3\x89T\xC3\x89   "}, {"dimanche_km", "9999"}, {"dimanche_frais", "9999,99"}},
       "\xC9T\xC9     00" + zero_days + "9999999999",
       ""},
      {{{"immatriculation", "12345678"}, {"mardi_frais", "3,"}},
       "1234567800"
       "0000000000"
       "0000000300" +
           std::string(50, '0'),
       ""},
      {{{"immatriculation", ""}}, "", "immatriculation"},
      {{{"immatriculation", "   "}}, "", "immatriculation"},
      {{{"immatriculation", "ABCDEFGHI"}}, "", "immatriculation"},
      {{{"immatriculation", "€1"}}, "", "immatriculation"},  // the euro sign: not Latin-1
      {{{"immatriculation", "A\tB"}}, "", "immatriculation"},
      {{{"immatriculation", "A"}, {"semaine", "100"}}, "", "semaine"},
      {{{"immatriculation", "A"}, {"lundi_km", "1.5"}}, "", "lundi_km"},
      {{{"immatriculation", "A"}, {"lundi_km", "1,000"}}, "", "lundi_km"},  // a thousand, or one?
      {{{"immatriculation", "A"}, {"lundi_km", "10000"}}, "", "lundi_km"},
      {{{"immatriculation", "A"}, {"mardi_km", "1 000"}}, "", "mardi_km"},
      {{{"immatriculation", "A"}, {"jeudi_frais", "1,234"}}, "", "jeudi_frais"},
      {{{"immatriculation", "A"}, {"jeudi_frais", "10000"}}, "", "jeudi_frais"},
      {{{"immatriculation", "A"}, {"jeudi_frais", "1,2.3"}}, "", "jeudi_frais"},
      {{{"immatriculation", "A"}, {"jeudi_frais", ","}}, "", "jeudi_frais"},
      {{{"immatriculation", "A"}, {"samedi_frais", "-1"}}, "", "samedi_frais"},
      {{{"immatriculation", "A"}, {"samedi_frais", "12€"}}, "", "samedi_frais"},
  };
  for (const Case& c : cases) {
    const ArticleForm form = read_article_form([&](const std::string& name) {
      const auto found = c.typed.find(name);
      return found == c.typed.end() ? std::string() : found->second;
    });
    const std::string label = c.typed.begin()->second + " " + c.refused;
    for (size_t column = 0; column < csv::kColumnCount; ++column) {
      EXPECT_EQ(form.problem[column].empty(), c.refused != csv::kColumns[column]) << label << " " << column;
    }
    if (c.refused.empty()) {
      EXPECT_EQ(encode(form.article), c.record.substr(0, 10) + spare + c.record.substr(10)) << label;
      // A correction starts from the stored article's form, which reads back the same.
      const ArticleForm again = read_article_form([&](const std::string& name) {
        for (size_t column = 0; column < csv::kColumnCount; ++column) {
          if (name == csv::kColumns[column]) return form_of(form.article).typed[column];
        }
        return std::string();
      });
      EXPECT_TRUE(again.ok()) << label;
      EXPECT_EQ(encode(again.article), encode(form.article)) << label;
    }
  }
}

}  // namespace
}  // namespace fleet::web

namespace fleet::web {
namespace {

TEST(Users, LinesOfTheFile) {
  const std::string hash = hash_password("motdepasse");
  ASSERT_EQ(hash.rfind("$argon2id$", 0), 0u);
  EXPECT_TRUE(verify_password(hash, "motdepasse"));
  EXPECT_FALSE(verify_password(hash, "motdepassE"));
  const struct {
    std::string line;
    bool good;
    const char* name;  // "" for a line that names nobody
  } lines[] = {
      {"", true, ""},
      {"  # un commentaire", true, ""},
      {"alice:saisie:" + hash, true, "alice"},
      {"b.o_b-2:lecture:" + hash + "\r", true, "b.o_b-2"},
      {"alice:admin:" + hash, false, ""},
      {"alice:saisie:motdepasse", false, ""},  // a password, not its hash
      {"al ice:saisie:" + hash, false, ""},
      {std::string(33, 'a') + ":saisie:" + hash, false, ""},
      {":saisie:" + hash, false, ""},
      {"alice saisie", false, ""},
  };
  for (const auto& l : lines) {
    User user;
    std::string why;
    EXPECT_EQ(parse_user_line(l.line, &user, &why), l.good) << l.line;
    if (l.good) {
      EXPECT_EQ(user.name, l.name);
    }
    if (l.good && !user.name.empty()) {
      EXPECT_TRUE(parse_user_line(user_line(user), &user, &why)) << l.line;
    }
  }
  std::vector<User> users;
  std::string why;
  EXPECT_FALSE(parse_users("# x\nalice:saisie:" + hash + "\nalice:lecture:" + hash + "\n", &users, &why));
  EXPECT_EQ(why.rfind("ligne 3 : ", 0), 0u) << why;
}

TEST(Sessions, SealedCookies) {
  const SessionSeal seal(std::string(32, 'k'));
  const SessionSeal other(std::string(32, 'j'));
  // The users' password hashes as the file says now.
  std::string alice_hash = "hash-1";
  const auto users = [&](const std::string& name) { return name == "alice" ? alice_hash : std::string(); };
  const std::string cookie = seal.open("alice", alice_hash, 1000);
  const std::optional<SessionClaim> claim = seal.check(cookie, 1000, users);
  ASSERT_TRUE(claim.has_value());
  EXPECT_EQ(claim->name, "alice");
  EXPECT_EQ(claim->expiry, 1000 + SessionSeal::kLifetime);
  EXPECT_TRUE(SessionSeal(std::string(32, 'k')).check(cookie, 1000, users).has_value());  // the other server's
  EXPECT_FALSE(seal.check(cookie, 1000 + SessionSeal::kLifetime, users).has_value());     // ended
  EXPECT_FALSE(other.check(cookie, 1000, users).has_value());
  std::string renamed = cookie;
  renamed.replace(0, 5, "bobby");
  std::string longer = cookie;
  longer.replace(6, 1, "9");  // a later end
  for (const std::string& forged : {renamed, longer, cookie.substr(0, cookie.size() - 1), std::string()}) {
    EXPECT_FALSE(seal.check(forged, 1000, users).has_value()) << forged;
  }
  EXPECT_EQ(seal.csrf(cookie), SessionSeal(std::string(32, 'k')).csrf(cookie));
  EXPECT_NE(seal.csrf(cookie), seal.csrf(seal.open("alice", alice_hash, 1000)));
  EXPECT_NE(seal.csrf(cookie), cookie.substr(cookie.rfind(':') + 1));
  alice_hash = "hash-2";  // a new password: every session before it ends
  EXPECT_FALSE(seal.check(cookie, 1000, users).has_value());
}

TEST(Throttle, FailuresAndTheirDelay) {
  Throttle throttle;
  // (seconds since the first failure, failure?, wait expected then)
  const struct {
    int64_t at;
    bool fail;
    int64_t wait;
  } steps
      [] =
          {
              {0, true, 0},    {1, true, 0},    {2, true, 0}, {3, true, 0},  {4, true, 1},
              {5, false, 0},   {5, true, 2},    {7, true, 4}, {11, true, 8}, {19, false, 0},
              {900, false, 0}, {2000, true, 0},  // a quiet window: counted from one again
          };
  for (const auto& s : steps) {
    if (s.fail) throttle.fail("a:1", s.at);
    EXPECT_EQ(throttle.wait("a:1", s.at), s.wait) << s.at;
  }
  for (int i = 0; i < 20; ++i) throttle.fail("n:x", 3000 + i * 10);
  EXPECT_EQ(throttle.wait("n:x", 3000 + 19 * 10), Throttle::kDelayMost);
  throttle.forget("n:x");
  EXPECT_EQ(throttle.wait("n:x", 3000 + 19 * 10), 0);
  EXPECT_EQ(throttle.wait("a:2", 0), 0);
}

TEST(Access, LocalTargets) {
  for (const char* good : {"/", "/articles?q=AB&tri=km", "/articles/AB%20CD"}) EXPECT_TRUE(local_target(good)) << good;
  for (const char* bad :
       {"", "//evil.example/", "/\\evil.example", "https://evil.example/", "articles", "/a b", "/a\r\nSet-Cookie:x"}) {
    EXPECT_FALSE(local_target(bad)) << bad;
  }
}

}  // namespace
}  // namespace fleet::web
