// Fuzz target: any bytes as a message's header block, read as the sorter reads it: the fields
// matched against rules, the envelope recipients of a shared provider box, the Message-ID. No
// user index outside the table or named twice, no address without "@" or with a bracket, no id
// that is not bracketed, and a rule on any field name finds what the raw text holds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "config/configuration.h"
#include "platform/text.h"
#include "sorting/envelope_recipients.h"
#include "sorting/message_header.h"
#include "sorting/recent_message_ids.h"

using namespace quelma;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const config::Configuration config = [] {
    config::Configuration c;
    c.LocalDomain = "office.test";
    c.users = {{"postmaster", "", ""}, {"ivan", "", ""}, {"petr", "", ""}, {"a", "", ""}};
    return c;
  }();
  const std::string block(reinterpret_cast<const char*>(data), size);
  const sorting::MessageHeader header(block);

  const auto users = sorting::EnvelopeRecipients(header, config);
  for (std::size_t i = 0; i < users.size(); ++i) {
    if (users[i] >= config.users.size()) __builtin_trap();
    if (std::count(users.begin(), users.end(), users[i]) != 1) __builtin_trap();
  }
  for (const std::string_view name : {"To", "Received", "Delivered-To"}) {
    for (const auto& value : header.values(name)) {
      for (const auto& address : sorting::AddressesIn(value)) {
        if (address.find('@') == std::string::npos || address.find_first_of("<>") != std::string::npos) __builtin_trap();
        if (address.size() > 320) __builtin_trap();
      }
      const std::string forAddress = sorting::ReceivedFor(value);
      if (!forAddress.empty() && forAddress.find('@') == std::string::npos) __builtin_trap();
    }
  }
  const std::string id = sorting::MessageIdOf(header);
  if (!id.empty() && (id.front() != '<' || id.back() != '>' || id.size() > 250)) __builtin_trap();

  // A field that begins the block matches a pattern its raw first line holds after the name.
  const std::size_t colon = block.find(':');
  const std::size_t lineEnd = block.find('\n');
  if (colon > 0 && colon < 20 && colon < lineEnd && lineEnd != std::string::npos && lineEnd > colon + 3) {
    const std::string name = block.substr(0, colon);
    const std::string pattern = platform::ToLowerCp1251(block.substr(colon, 3));
    if (block.compare(0, 1, " ") != 0 && block.compare(0, 1, "\t") != 0 && !header.matches(name, pattern)) __builtin_trap();
  }
  return 0;
}
