// The rule check: recipients and account delivery targets that name no local user.
#include <string_view>
#include <vector>

#include "sorting/sorter_rules.h"

namespace quelma::sorting {
namespace {

bool IsItemSeparator(char c) { return c == ',' || static_cast<unsigned char>(c) <= 32; }

// The cleaned list; `dropped` is set when an item (an empty one included) was left out.
std::string CleanRecipients(std::string_view list, const config::Configuration& config, bool& dropped) {
  std::vector<std::string_view> keptItems;
  std::string cleaned;
  std::size_t pos = 0;
  while (pos < list.size()) {
    std::size_t end = pos;
    while (end < list.size() && !IsItemSeparator(list[end])) ++end;
    const std::string_view item = list.substr(pos, end - pos);
    pos = end + 1;
    std::string_view kept;
    if (item.find('@') != std::string_view::npos) {
      kept = item;
    } else if (const int user = config::FindLocalUser(config, item); user >= 0 && !item.empty()) {
      kept = config.users[static_cast<std::size_t>(user)].name;
    } else {
      dropped = true;
      continue;
    }
    keptItems.push_back(kept);
  }
  for (const std::string_view item : keptItems) {
    if (!cleaned.empty()) cleaned.push_back(',');
    cleaned.append(item.begin(), item.end());
  }
  return cleaned;
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
