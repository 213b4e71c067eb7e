// Queue files by the names the queue reader takes; maildrops as the users' INBOX files and
// the folders in their user folders.
#include "status/spool_figures.h"

#include "platform/files.h"
#include "spool/mailbox_index_file.h"
#include "spool/maildrop.h"
#include "spool/queue_file.h"

namespace quelma::status {
namespace {

void AddMailbox(const std::string& path, SpoolFigures& f) {
  if (const auto size = platform::FileSize(path)) {
    ++f.maildrops;
    f.maildropBytes += *size;
  }
}

}  // namespace

SpoolFigures ReadSpoolFigures(const config::Configuration& config) {
  SpoolFigures f;
  for (const std::string& name : spool::ListQueueFiles(config.QueueDir)) {
    const std::string path = config.QueueDir + name;
    const auto size = platform::FileSize(path);
    const auto written = platform::FileModifiedSeconds(path);
    if (!size || !written) continue;  // sent meanwhile
    ++f.queueMessages;
    f.queueBytes += *size;
    if (f.queueOldest == 0 || *written < f.queueOldest) f.queueOldest = *written;
  }
  for (const config::LocalUser& user : config.users) {
    const std::string inbox = spool::MaildropPath(config, user.name);
    AddMailbox(inbox, f);
    const std::string folder = spool::UserFolderOf(inbox);
    for (const std::string& file : platform::ListDirectory(folder, "*")) {
      if (file.front() != '.' && !file.ends_with(".tmp")) AddMailbox(folder + file, f);
    }
  }
  return f;
}

}  // namespace quelma::status
