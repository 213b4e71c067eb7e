// Fuzz target: the IMAP parsers alone, fast: the command reader on any bytes (in pieces of any
// size), sequence sets (their resolved ranges ascending, apart and within the numbers there
// are) and FETCH items with their sections and partial ranges.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "imap_server/command_reader.h"
#include "imap_server/command_syntax.h"
#include "imap_server/fetch_items.h"
#include "imap_server/sequence_set.h"

using namespace quelma::imap_server;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t piece = 1 + data[0] % 64;
  const std::uint32_t star = data[1] % 2 ? 0 : 1 + data[1];
  const std::string input(reinterpret_cast<const char*>(data) + 2, size - 2);

  // The command reader: whatever arrives ends in whole commands, refusals or the close.
  std::size_t at = 0;
  CommandReader reader(
      [&](char* b, std::size_t n) -> long {
        const std::size_t take = std::min({n, piece, input.size() - at});
        std::copy_n(input.data() + at, take, b);
        at += take;
        return static_cast<long>(take);
      },
      [&](std::string_view) { return std::uint64_t{star} * 16; }, [] { return true; });
  for (int commands = 0; commands < 10000; ++commands) {
    const CommandReader::Command command = reader.next();
    if (command.kind == CommandReader::Command::Kind::kClosed) break;
    if (command.kind == CommandReader::Command::Kind::kWhole && command.text.size() > kMaxCommandBytes) std::abort();
  }

  // A sequence set: resolved, its ranges ascend without touching and name only numbers up to "*".
  ArgumentReader sequence(input);
  if (const auto set = ReadSequenceSet(sequence)) {
    const auto ranges = set->resolve(star);
    for (std::size_t i = 0; i < ranges.size(); ++i) {
      if (ranges[i].first == 0 || ranges[i].first > ranges[i].second) std::abort();
      if (i > 0 && ranges[i].first <= std::uint64_t{ranges[i - 1].second} + 1) std::abort();
      if (!Contains(ranges, ranges[i].first) || !Contains(ranges, ranges[i].second)) std::abort();
    }
  }

  // FETCH items: a partial range asks for at least one byte, a section's parts are numbered
  // from 1, MIME names a part, and the items stay within their bound.
  ArgumentReader items(input);
  if (const auto request = ReadFetchRequest(items)) {
    if (request->items.size() > kMaxFetchItems || (request->vanished && !request->changedSince)) std::abort();
    for (const FetchItem& item : request->items) {
      if (item.partial && item.partial->second == 0) std::abort();
      for (const std::uint32_t part : item.section.part) {
        if (part == 0) std::abort();
      }
      if (item.section.text == SectionSpec::Text::kMime && item.section.part.empty()) std::abort();
    }
  }
  return 0;
}
