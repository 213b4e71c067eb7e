// A provider's IMAP server played without a socket, for the client session's tests: folders
// of messages with UIDs and flags, and the commands the client sends answered as a server
// would (UID FETCH with its items, STORE, EXPUNGE, MOVE, COPY, SEARCH DELETED, IDLE).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quelma::testing {

class FakeImapProvider {
 public:
  struct Message {
    std::uint32_t uid = 0;
    std::string text;
    std::set<std::string> flags;
  };
  struct Folder {
    std::uint32_t validity = 1;
    std::uint32_t nextUid = 1;
    std::vector<Message> messages;
  };

  std::map<std::string, Folder> folders{{"INBOX", {}}};
  std::string capabilities = "IMAP4rev1 UIDPLUS MOVE IDLE AUTH=PLAIN";
  // A command word ("LOGIN", "UID FETCH", ...) found here gets this tagged reply text
  // instead ("NO no"; "" leaves it unanswered); with cutAfter the reply is cut off there.
  std::map<std::string, std::string> replies;
  std::optional<std::size_t> cutAfter;  // bytes of the next UID FETCH ... BODY.PEEK[] reply sent
  std::vector<std::string> commands;    // without their tags
  std::set<std::uint32_t> withheld;     // UIDs whose text a FETCH leaves out (as for a message going away)

  std::uint32_t add(const std::string& folder, const std::string& text, std::set<std::string> flags = {});
  std::optional<std::string> operator()(const std::string& line);

 private:
  std::string fetch(const std::string& tag, const std::string& args, bool byUid);
  std::vector<std::size_t> select(const std::string& set, bool byUid) const;
  std::string selected_;
  std::string idleTag_;
  std::string pendingTag_;
  std::string partial_;  // a command line before its literal  // a command whose literal or AUTHENTICATE answer is awaited
};

}  // namespace quelma::testing
