// The summaries of every message of a mailbox (envelope and MIME structure, what FETCH ENVELOPE
// BODYSTRUCTURE answers from): made from the texts the first time, read from the summary cache
// the second time (after the program would have started again), with the cache's size.
// Usage: summary_bench MAILBOX_FILE
#include <chrono>
#include <cstdio>

#include "platform/files.h"
#include "spool/mailbox.h"
#include "spool/mailbox_index_file.h"
#include "spool/summary_cache.h"

using namespace quelma;

namespace {

double AllSummaries(const std::string& path, std::size_t& count) {
  auto box = spool::Mailbox::Open(path);
  const auto start = std::chrono::steady_clock::now();
  count = 0;
  for (const spool::IndexedMessage& m : box->index().messages) count += box->summary(m.uid).has_value();
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  return took.count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: summary_bench MAILBOX_FILE\n");
    return 2;
  }
  const std::string path = argv[1];
  spool::Mailbox::Open(path);  // the index built: not what is measured here
  spool::Mailbox::ForgetIdle();
  std::size_t made = 0, read = 0;
  const double first = AllSummaries(path, made);
  spool::Mailbox::ForgetIdle();
  const double second = AllSummaries(path, read);
  const auto size = platform::FileSize(spool::SummaryCachePath(spool::MailboxIndexPath(path))).value_or(0);
  std::printf("quelma           summaries of %zu messages: first %7.1f ms  second %6.1f ms  cache %.1f B/message\n",
              made, first, second, made ? static_cast<double>(size) / static_cast<double>(made) : 0.0);
  return made == read ? 0 : 1;
}
