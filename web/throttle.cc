// The count of failed logins.
#include "web/throttle.h"

#include <algorithm>

namespace fleet::web {

int64_t Throttle::wait(const std::string& key, int64_t now) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = records_.find(key);
  return found == records_.end() ? 0 : std::max<int64_t>(0, found->second.until - now);
}

void Throttle::fail(const std::string& key, int64_t now) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto [found, added] = records_.try_emplace(key);
  if (added) {
    order_.push_back(key);
    if (order_.size() > kKeysMost) {
      records_.erase(order_.front());
      order_.pop_front();
    }
  }
  Record& record = found->second;
  while (!record.failures.empty() && record.failures.front() <= now - kWindow) record.failures.pop_front();
  if (record.failures.empty()) record.delay = 0;  // a quiet window starts the brake again
  record.failures.push_back(now);
  if (record.failures.size() > static_cast<size_t>(kFailuresMost)) record.failures.pop_front();  // enough to count
  if (record.failures.size() < static_cast<size_t>(kFailuresMost)) return;
  record.delay = record.delay == 0 ? 1 : std::min(record.delay * 2, kDelayMost);
  record.until = now + record.delay;
}

void Throttle::forget(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.erase(key);
  order_.erase(std::remove(order_.begin(), order_.end(), key), order_.end());
}

}  // namespace fleet::web
