// The Message-IDs each local user has been given by the sorter in the last day, so a message
// that arrives twice (through two provider accounts, as a list copy and a direct one, or sent
// again by a provider) reaches each user once. The file "delivered.ids" in the program
// directory holds them; it is bounded in age and in size.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "sorting/message_header.h"

namespace quelma::sorting {

class RecentMessageIds {
 public:
  static constexpr std::int64_t kWindowSeconds = 24 * 60 * 60;
  static constexpr std::size_t kMaxPerUser = 10000;  // the oldest go first beyond this

  // `now`: seconds on the local clock (what the window is measured in).
  RecentMessageIds(std::string path, std::int64_t now) : path_(std::move(path)), now_(now) {}

  // Reads the file, dropping what is older than the window or beyond the bound (the file is
  // rewritten then). An unreadable file counts as empty: mail is never held back for it.
  void load();

  // Whether `user` has had message `id` within the window, in the file or in this delivery.
  bool delivered(const std::string& user, const std::string& id) const;
  // `user` gets `id` in the delivery under way.
  void willDeliver(const std::string& user, const std::string& id);
  // The delivery is final: its ids are appended, synced. False when they could not be.
  bool commit();
  // The delivery was undone: its ids are forgotten.
  void discard() { pending_.clear(); }

 private:
  using Key = std::pair<std::string, std::string>;  // user (lower case), id
  bool write();
  std::string path_;
  std::int64_t now_;
  std::map<Key, std::int64_t> known_;
  std::set<Key> pending_;
};

// The message's id: the "<...>" of its Message-ID field, or empty when it has none fit to
// compare (no brackets, blanks or control bytes inside, over 250 bytes).
std::string MessageIdOf(const MessageHeader& header);

// The local clock's seconds since 1970, as the window counts them.
std::int64_t LocalSeconds(const platform::LocalTime& time);

}  // namespace quelma::sorting
