// The played provider's command handling.
#include "fake_imap_provider.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace quelma::testing {
namespace {

std::string Word(const std::string& text, std::size_t& at) {
  while (at < text.size() && text[at] == ' ') ++at;
  const std::size_t start = at;
  while (at < text.size() && text[at] != ' ') ++at;
  return text.substr(start, at - start);
}

std::string Literal(const std::string& bytes) { return "{" + std::to_string(bytes.size()) + "}\r\n" + bytes; }

std::string HeaderOf(const std::string& text) {
  const std::size_t end = text.find("\r\n\r\n");
  return end == std::string::npos ? text : text.substr(0, end + 4);
}

}  // namespace

std::uint32_t FakeImapProvider::add(const std::string& folder, const std::string& text, std::set<std::string> flags) {
  Folder& f = folders[folder];
  f.messages.push_back({f.nextUid, text, std::move(flags)});
  return f.nextUid++;
}

std::vector<std::size_t> FakeImapProvider::select(const std::string& set, bool byUid) const {
  std::vector<std::size_t> chosen;
  const auto& messages = folders.at(selected_).messages;
  if (messages.empty()) return chosen;
  const std::uint32_t star = byUid ? messages.back().uid : static_cast<std::uint32_t>(messages.size());
  std::size_t at = 0;
  while (at < set.size()) {
    std::size_t end = set.find(',', at);
    if (end == std::string::npos) end = set.size();
    const std::string range = set.substr(at, end - at);
    const std::size_t colon = range.find(':');
    const auto number = [star](const std::string& t) { return t == "*" ? star : static_cast<std::uint32_t>(std::stoul(t)); };
    std::uint32_t low = number(range.substr(0, colon));
    std::uint32_t high = colon == std::string::npos ? low : number(range.substr(colon + 1));
    if (low > high) std::swap(low, high);
    for (std::size_t i = 0; i < messages.size(); ++i) {
      const std::uint32_t key = byUid ? messages[i].uid : static_cast<std::uint32_t>(i + 1);
      if (key >= low && key <= high && std::find(chosen.begin(), chosen.end(), i) == chosen.end()) chosen.push_back(i);
    }
    at = end + 1;
  }
  std::sort(chosen.begin(), chosen.end());
  return chosen;
}

std::string FakeImapProvider::fetch(const std::string& tag, const std::string& args, bool byUid) {
  std::size_t at = 0;
  const std::string set = Word(args, at);
  const std::string items = args.substr(at);
  std::string out;
  for (const std::size_t i : select(set, byUid)) {
    const Message& m = folders[selected_].messages[i];
    std::string attributes = "UID " + std::to_string(m.uid);
    if (items.find("RFC822.SIZE") != std::string::npos) attributes += " RFC822.SIZE " + std::to_string(m.text.size());
    if (items.find("HEADER.FIELDS") != std::string::npos) {
      std::string field;
      const std::size_t found = m.text.find("Message-ID:");
      if (found != std::string::npos) field = m.text.substr(found, m.text.find("\r\n", found) + 2 - found);
      attributes += " BODY[HEADER.FIELDS (MESSAGE-ID)] " + Literal(field + "\r\n");
    } else if (items.find("BODY.PEEK[HEADER]") != std::string::npos) {
      attributes += " BODY[HEADER] " + Literal(HeaderOf(m.text));
    } else if (items.find("BODY.PEEK[]") != std::string::npos && !withheld.contains(m.uid)) {
      attributes += " BODY[] " + Literal(m.text);
    }
    out += "* " + std::to_string(i + 1) + " FETCH (" + attributes + ")\r\n";
  }
  out += tag + " OK done\r\n";
  if (cutAfter && items.find("BODY.PEEK[]") != std::string::npos) {
    out.resize(std::min(out.size(), *cutAfter));
    cutAfter.reset();
  }
  return out;
}

std::optional<std::string> FakeImapProvider::operator()(const std::string& received) {
  std::string line = partial_ + received.substr(0, received.find_last_not_of("\r\n") + 1);
  partial_.clear();
  if (!line.empty() && line.back() == '}' && line.find('{') != std::string::npos) {
    partial_ = line + "\r\n";  // a literal follows: the command goes on in the next line
    return line[line.size() - 2] == '+' ? std::optional<std::string>() : std::string("+ go on\r\n");
  }
  if (!idleTag_.empty()) {
    if (line != "DONE") return std::string();
    return std::exchange(idleTag_, "") + " OK idle done\r\n";
  }
  if (!pendingTag_.empty()) return std::exchange(pendingTag_, "") + " OK done\r\n";
  std::size_t at = 0;
  const std::string tag = Word(line, at);
  std::string verb = Word(line, at);
  const bool byUid = verb == "UID";
  if (byUid) verb += " " + Word(line, at);
  const std::string args = at < line.size() ? line.substr(at + 1) : "";
  commands.push_back(verb + (args.empty() ? "" : " " + args));
  if (const auto found = replies.find(verb); found != replies.end()) {
    return found->second.empty() ? std::string() : tag + " " + found->second + "\r\n";
  }
  if (verb == "CAPABILITY") return "* CAPABILITY " + capabilities + "\r\n" + tag + " OK done\r\n";
  if (verb == "LOGIN") return tag + " OK logged in\r\n";
  if (verb == "AUTHENTICATE") {
    if (args.find(' ') != std::string::npos) return tag + " OK logged in\r\n";
    pendingTag_ = tag;
    return std::string("+ \r\n");
  }
  if (verb == "LOGOUT") return "* BYE bye\r\n" + tag + " OK done\r\n";
  if (verb == "SELECT") {
    std::string name = args;
    if (name.size() > 1 && name.front() == '"') name = name.substr(1, name.size() - 2);
    if (!folders.contains(name)) return tag + " NO no such folder\r\n";
    selected_ = name;
    const Folder& f = folders[name];
    return "* " + std::to_string(f.messages.size()) + " EXISTS\r\n* OK [UIDVALIDITY " + std::to_string(f.validity) +
           "] v\r\n* OK [UIDNEXT " + std::to_string(f.nextUid) + "] n\r\n" + tag + " OK [READ-WRITE] selected\r\n";
  }
  if (verb == "UID FETCH" || verb == "FETCH") return fetch(tag, args, byUid);
  auto& messages = folders[selected_].messages;
  if (verb == "UID STORE") {
    std::size_t a = 0;
    const std::string set = Word(args, a);
    for (const std::size_t i : select(set, true)) messages[i].flags.insert("\\Deleted");
    return tag + " OK stored\r\n";
  }
  if (verb == "UID SEARCH") {
    std::string found;
    if (args.starts_with("UID ")) {
      std::size_t a = 4;
      for (const std::size_t i : select(Word(args, a), true)) found += " " + std::to_string(messages[i].uid);
    } else {
      for (const auto& m : messages) {
        if (m.flags.contains("\\Deleted")) found += " " + std::to_string(m.uid);
      }
    }
    return "* SEARCH" + found + "\r\n" + tag + " OK done\r\n";
  }
  if (verb == "UID EXPUNGE" || verb == "EXPUNGE" || verb == "UID MOVE" || verb == "UID COPY") {
    std::size_t a = 0;
    const std::string set = byUid ? Word(args, a) : "1:*";
    std::string target = args.substr(std::min(args.size(), a + 1));
    if (target.size() > 1 && target.front() == '"') target = target.substr(1, target.size() - 2);
    std::string out;
    const auto chosen = select(set, byUid);
    for (auto i = chosen.rbegin(); i != chosen.rend(); ++i) {
      Message m = messages[*i];
      const bool moves = verb == "UID MOVE" || verb == "UID COPY";
      if (moves) {
        m.flags.erase("\\Deleted");
        add(target, m.text, m.flags);
      }
      if (verb == "UID COPY" || (!moves && !m.flags.contains("\\Deleted"))) continue;
      out += "* " + std::to_string(*i + 1) + " EXPUNGE\r\n";
      messages.erase(messages.begin() + static_cast<std::ptrdiff_t>(*i));
    }
    return out + tag + " OK done\r\n";
  }
  if (verb == "IDLE") {
    idleTag_ = tag;
    return std::string("+ idling\r\n");
  }
  return tag + " BAD unknown\r\n";
}

}  // namespace quelma::testing
