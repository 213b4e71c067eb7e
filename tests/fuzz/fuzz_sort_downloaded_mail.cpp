// Fuzz target: any bytes as a file of downloaded mail, sorted by a few rules into maildrops and
// the queue.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "platform/files.h"
#include "sorting/sort_downloaded_mail.h"

using namespace quelma;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string dir = "/tmp/quelma-fuzz-sort-" + std::to_string(::getpid()) + "/";
  static const bool made = (platform::MakeDirectory(dir) || platform::IsDirectory(dir)) &&
                           (platform::MakeDirectory(dir + "q") || platform::IsDirectory(dir + "q"));
  if (!made) return 0;
  config::Configuration config;
  config.MailDropDir = dir;
  config.QueueDir = dir + "q/";
  config.PostMaster = "postmaster";
  config.users = {{"postmaster", "", ""}, {"ivan", "", ""}};
  static sorting::SorterFile sorter(dir + "sorter.cfg");
  static const bool rules = [] {
    sorting::SorterRuleTable t = {{"Subject", "a", "ivan,x@y.ru", 0}, {"From", "@", "postmaster", 1}};
    return sorting::WriteSorterRules(sorter, t);
  }();
  (void)rules;
  fuzz::NullWindow window;
  link::ServerControl control;
  fuzz::FixedClock clock;
  link::ActivityLog log(window, control, clock);
  const std::string path = dir + "fuzz-1.popfile";
  if (auto out = platform::OutputFile::Create(path, platform::CreateMode::kTruncate)) {
    out->write(std::string_view(reinterpret_cast<const char*>(data), size));
  }
  sorting::SortMailFile({config, sorter, log, dir}, path, true, "*");
  platform::RemoveFile(path);
  for (const char* name : {"ivan", "postmaster"}) platform::RemoveFile(dir + name);
  for (const auto& name : platform::ListDirectory(dir + "q", "*")) platform::RemoveFile(dir + "q/" + name);
  return 0;
}
