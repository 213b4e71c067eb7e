// The rule check: recipients and account delivery targets that name no local user.
#include <string_view>
#include <vector>

#include "config/list_setting.h"
#include "sorting/sorter_rules.h"

namespace quelma::sorting {
namespace {

// The cleaned list; `dropped` is set when an item was left out or the list was not written as
// the file keeps lists (single commas).
std::string CleanRecipients(std::string_view list, const config::Configuration& config, bool& dropped) {
  const std::vector<std::string> items = config::ListItems(list);
  std::vector<std::string> kept;
  for (const std::string& item : items) {
    if (item.find('@') != std::string::npos) {
      kept.push_back(item);
    } else if (const auto folder = SplitFolderRecipient(item)) {
      // A folder of a user that is gone, or one that cannot be, is left out with it.
      const int user = config::FindLocalUser(config, folder->user);
      if (user >= 0 && IsPossibleFolder(folder->folder)) {
        kept.push_back(config.users[static_cast<std::size_t>(user)].name + "/" + folder->folder);
      } else {
        dropped = true;
      }
    } else if (const int user = config::FindLocalUser(config, item); user >= 0) {
      kept.push_back(config.users[static_cast<std::size_t>(user)].name);
    } else {
      dropped = true;
    }
  }
  if (config::ListText(items) != list) dropped = true;
  return config::ListText(kept);
}

}  // namespace

bool CheckSorterRules(SorterFile& file, config::Configuration& config) {
  auto rules = ReadSorterRules(file);
  if (!rules) return false;

  bool rulesChanged = false;
  for (std::size_t i = 0; i < rules->size();) {
    std::string cleaned = CleanRecipients((*rules)[i].recipients, config, rulesChanged);
    if (cleaned.empty()) {
      rules->erase(rules->begin() + static_cast<std::ptrdiff_t>(i));
      rulesChanged = true;
      continue;
    }
    (*rules)[i].recipients = std::move(cleaned);
    ++i;
  }

  bool accountsChanged = false;
  for (config::ProviderAccount& account : config.accounts) {
    if (!account.deliverTo.starts_with('*') && config::FindLocalUser(config, account.deliverTo) < 0) {
      account.deliverTo = "*";
      accountsChanged = true;
    }
  }

  if (rulesChanged || accountsChanged) WriteSorterRules(file, *rules);
  return rulesChanged || accountsChanged;
}

config::LoadResult LoadConfigurationChecked(const std::string& programDir, SorterFile& file,
                                            config::Configuration& config) {
  const config::LoadResult result = config::LoadConfiguration(programDir, config);
  if (result.status == config::LoadStatus::kLoaded) CheckSorterRules(file, config);
  return result;
}

}  // namespace quelma::sorting
