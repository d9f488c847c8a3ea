// FleetData: the period that fleet serve shows (the article files named at its start,
// in their order), read through the fleet command's own functions: the figures are
// gather_open's (fleet stats), the articles scan_open's (fleet list), a car's articles
// the storage's read by key (fleet show), the downloads write_export's (fleet export).
// Each handler asks it, and it reads the files as they are now: what it computed
// from them is kept while every file's storage says nothing changed, and computed
// again at the first request after a change.
//
// Each file is read through one storage, kept open: the storage layer is used from
// one thread at a time (its opens share state), and a second open of an SQLite file
// in the same process would drop the first one's locks on it (closing any descriptor
// of a file does), so that another program could take the file's log away from under
// it. Every use goes under one lock; what it hands out is immutable and shared.
//
// Until the command reads periods of several files itself, the figures of such a
// period are put together here from those of each file.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "operations/context.h"
#include "operations/period.h"
#include "web/article_page.h"

namespace fleet::web {

struct ServedFile {
  std::string name;  // as pages show it (no password)
  FleetStats stats;
  bool whole = false;   // false: not opened, or not read whole (said on standard error)
  std::string problem;  // why it could not be opened, in French
};

struct Figures {
  std::vector<ServedFile> files;
  FleetStats period;  // over every file: sums, and the cars ranked by their period's sums
  bool whole = true;
};

// A car's article in one file of the period.
struct CarWeek {
  size_t file;
  Article article;
};

class FleetData {
 public:
  // context gives the character set of messages; files are the period's, as named.
  FleetData(const Context& context, std::vector<std::string> files);
  ~FleetData();

  size_t file_count() const { return files_.size(); }
  // A file's name as pages show it (no password).
  std::string shown_file(size_t file) const;
  // A file's name as it was named: a path or a URI.
  const std::string& file_name(size_t file) const { return files_[file]; }
  // Whether this server may change the file (it is open for writing).
  bool may_write(size_t file);

  // The figures and the articles of the period as they are now.
  std::shared_ptr<const Figures> figures();
  std::shared_ptr<const Listing> listing();

  // The car's article in each file that has one (plate: stored bytes, padded); false
  // with why, in French, when a file could not be read.
  bool car(const std::string& plate, std::vector<CarWeek>* weeks, std::string* why);

  // Writes what fleet export writes for the period to out; false with why when it
  // could not (what failed is also said on standard error).
  bool export_to(std::FILE* out, bool json, std::string* why);

  // Runs work on the file's storage, open for writing, under the lock that every read
  // of the files takes; the next page reads the files again. work gets a context of
  // that file whose streams the caller set in context (out, err). False with why, in
  // French, when the file cannot be written (not there, or open for reading only).
  using Work = std::function<void(storage::Storage&, const Context&)>;
  bool change(size_t file, const Context& context, const Work& work, std::string* why);

 private:
  using Clock = std::chrono::steady_clock;
  // A look at the files serves the requests that come up to this long after it began:
  // a load that begins a millisecond after a write shows it, and a busy server looks
  // a thousand times a second at most, not at every request (each look is a query
  // under the lock, which every request would queue on).
  static constexpr std::chrono::milliseconds kFresh{1};
  // The mark of each file's state now (its storage's, or why it cannot be read), for
  // a request that came at asked.
  std::vector<std::string> marks(Clock::time_point asked);
  // What is published in now, when it is known to match the files since after asked;
  // else what compute gives, under the lock, then published. A request that finds
  // another one looking waits a moment for that look (it began after asked, most
  // likely) before it queues on the lock.
  template <class T, class Compute>
  std::shared_ptr<const T> current(Clock::time_point asked, std::atomic<int64_t>& since, std::shared_ptr<const T>& now,
                                   Compute compute) {
    for (int tries = 0;; ++tries) {
      if (since.load(std::memory_order_acquire) > asked.time_since_epoch().count()) {
        std::shared_lock<std::shared_mutex> reading(published_);
        return now;
      }
      std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
      if (tries < kTries ? lock.try_lock() : (lock.lock(), true)) {
        std::shared_ptr<const T> computed = compute();
        {
          std::unique_lock<std::shared_mutex> writing(published_);
          now = computed;
        }
        since.store(looked_.time_since_epoch().count(), std::memory_order_release);
        return computed;
      }
      std::this_thread::yield();
    }
  }
  static constexpr int kTries = 64;
  storage::Storage* watched(size_t file);
  // The listing and the figures for the files' marks now, computed again when they
  // changed.
  std::shared_ptr<const Listing> listing_locked(const std::vector<std::string>& now);
  std::shared_ptr<const Figures> figures_locked(const std::vector<std::string>& now);

  Context context_;
  std::vector<std::string> files_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<storage::Storage>> watch_;  // one open storage a file, or none
  std::vector<bool> writable_;                            // whether watch_[file] was opened to write
  std::vector<std::string> problems_;                     // why a file has none
  uint64_t unknown_ = 0;                                  // marks that match no other
  Clock::time_point looked_{};                            // when marks_ were taken
  std::vector<std::string> marks_;
  std::vector<std::string> figures_marks_, listing_marks_;
  std::shared_ptr<const Figures> figures_;
  std::shared_ptr<const Listing> listing_;
  // The same, read without the lock, and since when (steady clock) each is known to
  // match the files.
  std::shared_mutex published_;  // readers share it: none waits for another
  std::shared_ptr<const Figures> figures_now_;
  std::shared_ptr<const Listing> listing_now_;
  std::atomic<int64_t> figures_since_{INT64_MIN}, listing_since_{INT64_MIN};
};

}  // namespace fleet::web
