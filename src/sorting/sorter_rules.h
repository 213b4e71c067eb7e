// Sorter rules and sorter.cfg: the record, the table, the file, and the rule check.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_file.h"
#include "config/configuration.h"
#include "platform/byte_source.h"

namespace quelma::sorting {

namespace limits {
inline constexpr std::size_t kHeaderName = 28;
inline constexpr std::size_t kPattern = 63;
inline constexpr std::size_t kRecipients = 498;
}  // namespace limits

struct SorterRule {
  std::string headerName;  // compared with the message exactly, case included
  std::string pattern;     // lower case
  std::string recipients;  // comma-separated, lower case; an item with "@" is an outside address
  std::uint32_t stop = 0;  // non-zero: no further rule once this one matched
  // Options, on a line of their own after the rule's five ("options: envelope"), which older
  // builds pass over. `envelope`: the local users this copy was delivered to at the provider
  // (Delivered-To and the like, then To and Cc) receive it; the recipients only when none is named.
  bool envelope = false;
  bool operator==(const SorterRule&) const = default;
};

// A recipient "ivan/Архив": the folder "Архив" of local user ivan (the folder named as
// sorter.cfg keeps it, in Windows-1251; "/" divides the levels of the folder's name).
struct FolderRecipient {
  std::string user;
  std::string folder;
};
// Nothing for an item without "/" (a user or an address).
std::optional<FolderRecipient> SplitFolderRecipient(std::string_view item);
// Whether the folder can be one (see spool::FolderFileName); the reason in `refusal` if not.
bool IsPossibleFolder(std::string_view folder, std::string* refusal = nullptr);

using SorterRuleTable = std::vector<SorterRule>;  // file order; freed by its owner going away

// sorter.cfg with the one lock that every read and write of it holds.
class SorterFile {
 public:
  explicit SorterFile(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }
  std::mutex& lock() { return lock_; }

 private:
  std::string path_;
  std::mutex lock_;
};

std::string SorterFilePath(const std::string& programDir);

// The rules of sorter.cfg; a missing file is created empty and gives no rules. Nothing when
// the file can neither be read nor created.
std::optional<SorterRuleTable> ReadSorterRules(SorterFile& file);

// The reading state machine over any bytes (the file reader and the fuzzer use it).
SorterRuleTable ParseSorterRules(platform::ByteSource& source);

// Lower-cases pattern and recipients in place and replaces sorter.cfg atomically.
bool WriteSorterRules(SorterFile& file, SorterRuleTable& rules);

// Whether the five-line form can hold the rule: its three texts are non-empty and hold no
// line feed. Other rules (never valid for matching anyway) are left out of the file.
bool IsWritableRule(const SorterRule& rule);

// The bytes WriteSorterRules writes for `rules` as they stand.
std::string FormatSorterRules(const SorterRuleTable& rules);

// The table grows by `rule`, its texts cut to what the file can hold.
void AppendSorterRule(SorterRuleTable& rules, SorterRule rule);

// Drops recipients that name no local user (and rules left without any), respells the rest
// as the user table does, and sends accounts delivering to a missing user back to "*".
// Writes sorter.cfg when something was dropped. True when anything was changed.
bool CheckSorterRules(SorterFile& file, config::Configuration& config);

// LoadConfiguration followed by the rule check when the file was read: how the program, the
// dialogs and the tests load quelma.cfg.
config::LoadResult LoadConfigurationChecked(const std::string& programDir, SorterFile& file,
                                            config::Configuration& config);

}  // namespace quelma::sorting
