// The brake on guessing passwords: failed logins counted per client address and per
// name. After 5 failures within 15 minutes a key is refused for a while, 1 s at first
// and twice as long at each further failure, up to 5 minutes; a success forgets the
// name's count. Nothing here sleeps: a refused login is answered at once (429) with
// the time to wait, so a guesser holds no thread.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace fleet::web {

class Throttle {
 public:
  static constexpr int kFailuresMost = 5;
  static constexpr int64_t kWindow = 15 * 60;  // seconds
  static constexpr int64_t kDelayMost = 5 * 60;
  // Keys remembered at most: past it the oldest are dropped (a flood of made-up names
  // must not grow the server without end).
  static constexpr size_t kKeysMost = 10000;

  // The seconds key must still wait at now; 0 when it may try.
  int64_t wait(const std::string& key, int64_t now);
  void fail(const std::string& key, int64_t now);
  void forget(const std::string& key);

 private:
  struct Record {
    std::deque<int64_t> failures;  // within the window
    int64_t until = 0;             // refused before this
    int64_t delay = 0;             // the last refusal's length
  };
  std::mutex mutex_;
  std::map<std::string, Record> records_;
  std::deque<std::string> order_;  // keys by first failure, to drop the oldest
};

}  // namespace fleet::web
