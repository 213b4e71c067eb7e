// Sorting downloaded mail while the download goes on: the files a download stores are handed
// over one by one and sorted on a thread of their own, in the order given; those that gathered
// while it sorted go as one delivery.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "sorting/sort_downloaded_mail.h"
#include "spool/download_files.h"

namespace quelma::sorting {

class SortingThread {
 public:
  explicit SortingThread(SortContext context);
  SortingThread(const SortingThread&) = delete;
  SortingThread& operator=(const SortingThread&) = delete;
  ~SortingThread();  // what was handed over is sorted first

  // A published file whose ids stand in its account's ledger: the sorting removes it.
  void add(spool::WaitingMail file);
  // Waits until everything handed over is sorted. kStopped: a file could not be delivered
  // whole; it and every file handed over after it wait for the next sorting.
  SortResult finish();

 private:
  void work();
  SortContext context_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<spool::WaitingMail> waiting_;
  bool finishing_ = false;
  SortResult result_ = SortResult::kNothing;
  int number_ = 0;  // the messages sorted so far, for the log
  std::thread thread_;  // started last, when the rest is ready
};

}  // namespace quelma::sorting
