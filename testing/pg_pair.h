// Two throwaway PostgreSQL servers for tests of restarts and fail-over: a primary and a
// streaming standby made from it with pg_basebackup, each with its data and Unix socket
// in a folder of its own under /tmp (no TCP port). The test stops, restarts or promotes
// them while programs use them. As root the servers run as the postgres system user,
// since PostgreSQL refuses to run as root.
#pragma once

#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "testing/test_postgres.h"

namespace testkit {

class ServerPair {
 public:
  ServerPair() {
    char folder[] = "/tmp/pg-pair-XXXXXX";
    if (mkdtemp(folder) == nullptr) return;
    folder_ = folder;
    bin_ = server_bin();
    if (bin_.empty()) {
      ADD_FAILURE() << "no PostgreSQL server installed under /usr/lib/postgresql";
      return;
    }
    ok_ = owned(folder_) && owned(primary()) && owned(standby()) &&
          sh(bin_ + "/initdb -D " + primary() + "/data -U postgres -A trust --no-sync >/dev/null") &&
          written(primary() + "/data/pg_hba.conf", "local all all trust\nlocal replication all trust\n") &&
          start(primary(), "-c wal_level=replica -c max_wal_senders=4") &&
          sh(bin_ + "/pg_basebackup -h " + primary() + " -U postgres -D " + standby() +
             "/data -R -X stream -c fast --no-sync") &&
          start(standby(), "-c wal_retrieve_retry_interval=200ms") && streaming();
    if (!ok_) ADD_FAILURE() << "the primary and standby servers did not start:\n" << logs();
  }
  ~ServerPair() {
    for (const std::string& server : {primary(), standby()}) {
      sh(bin_ + "/pg_ctl -D " + server + "/data -m immediate -w -s stop >/dev/null 2>&1");
    }
    if (!folder_.empty()) std::filesystem::remove_all(folder_);
  }
  ServerPair(const ServerPair&) = delete;
  ServerPair& operator=(const ServerPair&) = delete;

  bool ok() const { return ok_; }
  // Both hosts, the primary first, and only a server that takes writes will do.
  std::string uri() const {
    return "postgresql://postgres@/postgres?host=" + primary() + "," + standby() + "&target_session_attrs=read-write";
  }
  std::string primary_uri() const { return "postgresql://postgres@/postgres?host=" + primary(); }
  std::string standby_uri() const { return "postgresql://postgres@/postgres?host=" + standby(); }

  // A clean stop: the standby has received everything the primary committed.
  bool stop_primary() { return sh(bin_ + "/pg_ctl -D " + primary() + "/data -m fast -w -s stop"); }
  bool start_primary() { return start(primary(), ""); }
  bool promote_standby() { return sh(bin_ + "/pg_ctl -D " + standby() + "/data -w -s promote"); }
  // True once the standby streams from the primary (again, after a restart of the
  // primary): only then does a clean stop of the primary leave it every commit.
  bool streaming() {
    Session primary_session(primary_uri());
    for (int look = 0; look < 100; ++look) {
      if (primary_session.sql("SELECT count(*) FROM pg_stat_replication WHERE state = 'streaming'") == Rows{{"1"}}) {
        return true;
      }
      usleep(100000);
    }
    return false;
  }

 private:
  std::string primary() const { return folder_ + "/p"; }
  std::string standby() const { return folder_ + "/s"; }

  static std::string server_bin() {
    std::string best;
    int best_version = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", error)) {
      const int version = std::atoi(entry.path().filename().c_str());
      if (version > best_version && std::filesystem::exists(entry.path() / "bin/pg_ctl")) {
        best = (entry.path() / "bin").string();
        best_version = version;
      }
    }
    return best;
  }
  // A folder the server's user owns.
  static bool owned(const std::string& folder) {
    std::filesystem::create_directories(folder);
    if (getuid() != 0) return true;
    const passwd* user = getpwnam("postgres");
    return user != nullptr && chown(folder.c_str(), user->pw_uid, user->pw_gid) == 0;
  }
  static bool written(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    out.close();
    return !out.fail();
  }
  static bool sh(const std::string& command) {
    const std::string as_server = getuid() == 0 ? "runuser -u postgres -- sh -c '" + command + "'" : command;
    return std::system(as_server.c_str()) == 0;
  }
  bool start(const std::string& server, const std::string& settings) {
    return sh(bin_ + "/pg_ctl -D " + server + "/data -l " + server + "/log -w -s -o \"-k " + server +
              " -c listen_addresses= -c fsync=off " + settings + "\" start");
  }
  std::string logs() const {
    std::string text;
    for (const std::string& server : {primary(), standby()}) {
      std::ifstream log(server + "/log");
      text += server + "/log:\n" + std::string(std::istreambuf_iterator<char>(log), {});
    }
    return text;
  }

  std::string folder_;
  std::string bin_;
  bool ok_ = false;
};

}  // namespace testkit
