// The POP3 client's hand-over to the sorter: one download file per message, named after its
// account ("KEY-N.popfile", written as "KEY-N.popfile.part" until it is whole on disk), so
// that a file left by an interrupted run still goes where its account delivers. Files of
// earlier versions ("N.popfile", "mail.txt") belong to no account.
#pragma once

#include <cstdint>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"

namespace quelma::spool {

std::string MailTxtPath(const std::string& programDir);

// Eight hexadecimal digits that name a provider account by its server and login.
std::string AccountKey(std::string_view server, std::string_view login);

// Where download file `number` of an account is written until it is published.
std::string DownloadFilePartPath(const std::string& programDir, const std::string& accountKey, std::uint64_t number);

// A download file being written: one or more messages, each in transfer form with its end
// line. Only a published one is ever sorted, so a download cut off by an error, the
// program's end or a crash is never taken for a message.
class DownloadFile {
 public:
  // Nothing when the file cannot be created.
  static std::optional<DownloadFile> Create(const std::string& programDir, const std::string& accountKey,
                                            std::uint64_t number);
  // The moved-from file no longer owns the file on disk: only its new owner removes it.
  DownloadFile(DownloadFile&& other) noexcept;
  DownloadFile& operator=(DownloadFile&& other) noexcept;
  ~DownloadFile();  // an unpublished file is removed

  bool write(std::string_view bytes);
  std::uint64_t size() const { return size_; }
  const std::string& path() const { return partPath_; }  // where it is being written
  const std::string& publishedPath() const { return finalPath_; }
  // Its bytes on disk; with `keep`, only its first `keep` bytes (the messages that came
  // whole). False (and the file removed) when that failed.
  bool sync(std::optional<std::uint64_t> keep = std::nullopt);
  // Synced (unless it was), closed and renamed to its sortable name, the name synced too.
  // False (and the file removed) when any of it failed.
  bool publish(std::optional<std::uint64_t> keep = std::nullopt);

 private:
  DownloadFile(std::string partPath, std::string finalPath, platform::OutputFile file)
      : partPath_(std::move(partPath)), finalPath_(std::move(finalPath)), file_(std::move(file)) {}
  void discard();
  bool flush();
  std::string partPath_;
  std::string finalPath_;
  std::optional<platform::OutputFile> file_;
  std::uint64_t size_ = 0;
  bool synced_ = false;
  std::string buffer_;  // written in large pieces
};

// The number for an account's next download file: above every one of its files still there,
// so that a number never names two files a ledger could mistake for each other.
std::uint64_t NextDownloadFileNumber(const std::string& programDir, const std::string& accountKey);

// A file of downloaded mail waiting to be sorted.
struct WaitingMail {
  std::string path;
  std::optional<std::string> accountKey;  // nothing: a file of an earlier version
};

// Every published file of downloaded mail, in the order they are to be sorted: "mail.txt",
// then the download files of earlier versions by number, then each account's by number.
// Unpublished ones (left by a crash) are removed.
std::vector<WaitingMail> ListWaitingMail(const std::string& programDir);

// Held shared by each sorting of downloaded mail from the first read of its files to their
// removal, and alone by a backup while it is taken: no downloaded message moves from its file
// into the maildrops between the backup's copy of the files and its copy of the maildrops.
std::shared_mutex& DownloadedMailGate();

}  // namespace quelma::spool
