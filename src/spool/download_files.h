// The POP3 client's hand-over to the sorter: one download file per message ("N.popfile",
// written as "N.popfile.part" until it is whole on disk), collected into "mail.txt", from
// which the sorter takes message after message.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace quelma::spool {

std::string MailTxtPath(const std::string& programDir);

// A download file being written. Only a published one is ever collected, so a download cut
// off by an error, the program's end or a crash is never taken for a message.
class DownloadFile {
 public:
  // Nothing when the file cannot be created.
  static std::optional<DownloadFile> Create(const std::string& programDir, std::uint64_t number);
  DownloadFile(DownloadFile&&) = default;
  DownloadFile& operator=(DownloadFile&&) = default;
  ~DownloadFile();  // an unpublished file is removed

  bool write(std::string_view bytes);
  // Synced, closed and renamed to its collectable name, the name synced too. False (and the
  // file removed) when any of it failed.
  bool publish();

 private:
  DownloadFile(std::string partPath, std::string finalPath, platform::OutputFile file)
      : partPath_(std::move(partPath)), finalPath_(std::move(finalPath)), file_(std::move(file)) {}
  void discard();
  std::string partPath_;
  std::string finalPath_;
  std::optional<platform::OutputFile> file_;
};

enum class CollectResult {
  kCollected,
  kMailTxtFailed,       // "mail.txt" could not be opened or written
  kDownloadFileFailed,  // a download file could not be opened
};

// Appends every published download file to "mail.txt" in message-number order, each synced
// there before it is deleted; stale unpublished ones are removed first.
CollectResult CollectDownloadFiles(const std::string& programDir);

// "mail.txt" keeps only its bytes from `offset` on, replaced atomically. False (and the file
// as it was) when that failed.
bool KeepMailTxtFrom(const std::string& programDir, std::uint64_t offset);

// "mail.txt" is gone, or else emptied; false when it is still there with its messages.
bool RemoveMailTxt(const std::string& programDir);

// When "mail.txt" could be neither trimmed nor removed, a mark beside it ("mail.txt.sorted")
// says how far it is sorted, so that no message is delivered twice. The mark holds the
// offset and the file's size then; a file of another size (trimmed or grown since) makes
// the mark void.
bool MarkMailTxtSorted(const std::string& programDir, std::uint64_t offset);
std::uint64_t MailTxtSortedUpTo(const std::string& programDir);  // 0 without a valid mark
void ForgetMailTxtMark(const std::string& programDir);

}  // namespace quelma::spool
