// Fuzz target: any bytes as sorter.cfg; every rule the file can hold must write and read back unchanged.
#include <cstddef>
#include <cstdint>
#include <string>

#include "sorting/sorter_rules.h"

using namespace quelma;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  platform::StringSource source(bytes);
  const sorting::SorterRuleTable rules = sorting::ParseSorterRules(source);
  for (const auto& rule : rules) {
    if (rule.headerName.size() > 28 || rule.pattern.size() > 63 || rule.recipients.size() > 498) __builtin_trap();
  }
  sorting::SorterRuleTable writable;
  for (const auto& rule : rules) {
    if (sorting::IsWritableRule(rule)) writable.push_back(rule);
  }
  const std::string written = sorting::FormatSorterRules(rules);
  platform::StringSource again(written);
  if (sorting::ParseSorterRules(again) != writable) __builtin_trap();
  return 0;
}
