// LIST (with its extended selection and return options), LSUB, STATUS and APPEND.
#include "imap_server/imap_session.h"

#include <algorithm>

#include "imap_server/binary_append.h"
#include "imap_server/flag_lists.h"
#include "imap_server/imap_replies.h"
#include "imap_server/imap_strings.h"
#include "platform/text.h"
#include "imap_server/mailbox_list.h"
#include "codec/modified_utf7.h"
#include "platform/files.h"
#include "spool/folder_changes.h"
#include "spool/mailbox_append.h"

namespace quelma::imap_server {
namespace {

constexpr std::size_t kMaxPattern = 1024;
constexpr std::size_t kMaxPatterns = 100;

struct ListOptions {
  bool subscribedOnly = false, recursiveMatch = false, specialUseOnly = false;
  bool returnSubscribed = false, returnChildren = false, returnSpecialUse = false;
  std::vector<std::string> status;  // STATUS items to give with each name
};

enum class StatusItem { kMessages, kRecent, kUidNext, kUidValidity, kUnseen, kDeleted, kSize, kHighestModseq,
                        kAppendLimit };
constexpr std::pair<const char*, StatusItem> kStatusItems[] = {
    {"MESSAGES", StatusItem::kMessages}, {"RECENT", StatusItem::kRecent}, {"UIDNEXT", StatusItem::kUidNext},
    {"UIDVALIDITY", StatusItem::kUidValidity}, {"UNSEEN", StatusItem::kUnseen}, {"DELETED", StatusItem::kDeleted},
    {"SIZE", StatusItem::kSize}, {"HIGHESTMODSEQ", StatusItem::kHighestModseq},
    {"APPENDLIMIT", StatusItem::kAppendLimit},
};


// "(MESSAGES UNSEEN ...)": the items in upper case; nothing for an unknown one.
std::optional<std::vector<std::string>> ReadStatusItems(ArgumentReader& in) {
  std::vector<std::string> items;
  if (!in.take('(')) return std::nullopt;
  do {
    const auto word = in.atom();
    if (!word || items.size() > 20) return std::nullopt;
    const std::string name = platform::ToUpperAscii(*word);
    if (std::none_of(std::begin(kStatusItems), std::end(kStatusItems), [&](const auto& k) { return name == k.first; })) {
      return std::nullopt;
    }
    items.push_back(name);
  } while (in.space());
  if (!in.take(')')) return std::nullopt;
  return items;
}

std::string StatusValues(const spool::Mailbox& box, const std::vector<std::string>& items) {
  const auto snapshot = box.snapshot();
  const spool::MailboxIndex& index = *snapshot;
  std::string out;
  for (const std::string& item : items) {
    std::uint64_t value = 0;
    if (item == "MESSAGES") value = index.messages.size();
    else if (item == "RECENT") value = SelectedMailbox::UnclaimedRecent(box, index);
    else if (item == "UIDNEXT") value = index.uidNext;
    else if (item == "UIDVALIDITY") value = index.uidValidity;
    else if (item == "UNSEEN") {
      value = std::count_if(index.messages.begin(), index.messages.end(),
                            [](const auto& m) { return !(m.flags & spool::flag::kSeen); });
    } else if (item == "DELETED") {
      value = std::count_if(index.messages.begin(), index.messages.end(),
                            [](const auto& m) { return (m.flags & spool::flag::kDeleted) != 0; });
    } else if (item == "SIZE") {
      for (const auto& m : index.messages) value += m.size;
    } else if (item == "HIGHESTMODSEQ") value = index.highestModseq;
    else if (item == "APPENDLIMIT") value = kAppendLimit;
    if (!out.empty()) out += ' ';
    out += item + " " + std::to_string(value);
  }
  return out;
}

}  // namespace

// A pattern in UTF-8, as the names are: a client without UTF-8 wrote it in modified UTF-7.
std::string ImapSession::patternName(const std::string& pattern) const {
  if (utf8_) return pattern;
  const auto decoded = codec::ModifiedUtf7Decode(pattern);
  return decoded ? *decoded : pattern;
}

ImapSession::Next ImapSession::list(Request& r) {
  ListOptions options;
  bool extended = false;
  if (!r.args.space()) return bad(r, "Missing LIST arguments");
  if (r.args.take('(')) {
    extended = true;
    while (!r.args.take(')')) {
      if (r.args.keyword("SUBSCRIBED")) options.subscribedOnly = options.returnSubscribed = true;
      else if (r.args.keyword("RECURSIVEMATCH")) options.recursiveMatch = true;
      else if (r.args.keyword("SPECIAL-USE")) options.specialUseOnly = options.returnSpecialUse = true;
      else if (r.args.keyword("REMOTE")) {}
      else return bad(r, "Unknown LIST selection option");
      if (r.args.peek() != ')' && !r.args.space()) return bad(r, "Bad LIST selection options");
    }
    if (options.recursiveMatch && !options.subscribedOnly && !options.specialUseOnly) {
      return bad(r, "RECURSIVEMATCH alone");
    }
    if (!r.args.space()) return bad(r, "Missing LIST reference");
  }
  const auto reference = r.args.astring();
  if (!reference || !r.args.space()) return bad(r, "Missing LIST reference");
  std::vector<std::string> patterns;
  const auto readPattern = [&]() -> bool {
    // A pattern is an astring that may hold "%" and "*" as well.
    std::optional<std::string> p;
    if (r.args.peek() == '"' || r.args.peek() == '{') p = r.args.string();
    else if (const auto word = r.args.atom("%*]")) p = std::string(*word);
    if (!p || p->size() > kMaxPattern || patterns.size() == kMaxPatterns) return false;
    patterns.push_back(*reference + *p);
    return true;
  };
  if (r.args.take('(')) {
    extended = true;
    do {
      if (!readPattern()) return bad(r, "Bad LIST pattern");
    } while (r.args.space());
    if (!r.args.take(')')) return bad(r, "Bad LIST patterns");
  } else if (!readPattern()) {
    return bad(r, "Bad LIST pattern");
  }
  if (r.args.space()) {
    if (!r.args.keyword("RETURN") || !r.args.space() || !r.args.take('(')) return bad(r, "Bad LIST return options");
    extended = true;
    while (!r.args.take(')')) {
      if (r.args.keyword("SUBSCRIBED")) options.returnSubscribed = true;
      else if (r.args.keyword("CHILDREN")) options.returnChildren = true;
      else if (r.args.keyword("SPECIAL-USE")) options.returnSpecialUse = true;
      else if (r.args.keyword("STATUS")) {
        const auto items = r.args.space() ? ReadStatusItems(r.args) : std::nullopt;
        if (!items) return bad(r, "Bad STATUS return option");
        options.status = *items;
      } else {
        return bad(r, "Unknown LIST return option");
      }
      if (r.args.peek() != ')' && !r.args.space()) return bad(r, "Bad LIST return options");
    }
  }
  if (!r.args.atEnd()) return bad(r, "Unexpected arguments");
  for (std::string& pattern : patterns) pattern = patternName(pattern);
  if (patterns.size() == 1 && patterns[0].empty() && !extended) {
    if (!send("* LIST (\\Noselect) \"/\" \"\"\r\n")) return Next::kEnd;
    return ok(r, "List completed.");
  }
  const auto all = AllMailboxes(spool::ListFolders(inbox_), spool::ReadSubscriptions(inbox_), spool::ReadSpecialUse(inbox_));
  // Which names have a subscribed name below them (RECURSIVEMATCH's CHILDINFO).
  // Which names have a subscribed name below them that no pattern lists itself (RECURSIVEMATCH's
  // CHILDINFO).
  const auto subscribedBelow = [&all, &patterns](const std::string& name) {
    return std::any_of(all.begin(), all.end(), [&](const ListedMailbox& other) {
      return other.subscribed && other.name.size() > name.size() + 1 && other.name.starts_with(name + "/") &&
             std::none_of(patterns.begin(), patterns.end(), [&](const std::string& p) { return MatchesPattern(other.name, p); });
    });
  };
  std::string out;
  for (const ListedMailbox& m : all) {
    if (std::none_of(patterns.begin(), patterns.end(), [&](const std::string& p) { return MatchesPattern(m.name, p); })) {
      continue;
    }
    const bool childInfo = options.recursiveMatch && options.subscribedOnly && subscribedBelow(m.name);
    if (options.subscribedOnly && !m.subscribed && !childInfo) continue;
    if (options.specialUseOnly && m.specialUse.empty()) continue;
    // A name only implied by its children is listed as such; one only subscribed, when asked.
    if (!m.exists && !m.hasChildren && !(options.subscribedOnly && m.subscribed)) continue;
    std::string attributes;
    const auto add = [&attributes](std::string_view a) {
      if (!attributes.empty()) attributes += ' ';
      attributes += a;
    };
    if (!m.exists) add(extended && !m.hasChildren ? "\\NonExistent" : "\\Noselect");
    if (options.returnChildren || !extended) add(m.hasChildren ? "\\HasChildren" : "\\HasNoChildren");
    if (options.returnSubscribed && m.subscribed) add("\\Subscribed");
    if (!m.specialUse.empty()) add(m.specialUse);
    out += "* LIST (" + attributes + ") \"/\" " + wireName(m.name);
    out += childInfo ? " (\"CHILDINFO\" (\"SUBSCRIBED\"))\r\n" : "\r\n";
    if (!options.status.empty() && m.exists) {
      const auto path = mailboxPath(m.name);
      if (path && (m.name == "INBOX" || platform::FileExists(*path))) {
        out += "* STATUS " + wireName(m.name) + " (" +
               StatusValues(*spool::Mailbox::Open(*path), options.status) + ")\r\n";
      }
    }
  }
  if (!out.empty() && !send(out)) return Next::kEnd;
  return ok(r, "List completed.");
}

ImapSession::Next ImapSession::lsub(Request& r) {
  const auto reference = r.args.space() ? r.args.astring() : std::nullopt;
  if (!reference || !r.args.space()) return bad(r, "Missing LSUB arguments");
  std::optional<std::string> pattern;
  if (r.args.peek() == '"' || r.args.peek() == '{') pattern = r.args.string();
  else if (const auto word = r.args.atom("%*]")) pattern = std::string(*word);
  if (!pattern || pattern->size() > kMaxPattern || !r.args.atEnd()) return bad(r, "Bad LSUB pattern");
  const std::string full = patternName(*reference + *pattern);
  const auto all = AllMailboxes(spool::ListFolders(inbox_), spool::ReadSubscriptions(inbox_), {});
  // With "%", the parent of a subscribed name that is not subscribed itself stands in for it,
  // marked \Noselect.
  const bool levels = full.find('%') != std::string::npos;
  std::string out;
  for (const ListedMailbox& m : all) {
    if (!MatchesPattern(m.name, full)) continue;
    const bool below = levels && std::any_of(all.begin(), all.end(), [&](const ListedMailbox& other) {
      return other.subscribed && other.name.starts_with(m.name + "/");
    });
    if (!m.subscribed && !below) continue;
    out += std::string("* LSUB (") + (m.subscribed && m.exists ? "" : "\\Noselect") + ") \"/\" " + wireName(m.name) + "\r\n";
  }
  if (!out.empty() && !send(out)) return Next::kEnd;
  return ok(r, "Lsub completed.");
}

ImapSession::Next ImapSession::status(Request& r) {
  const auto name = r.args.space() ? readMailboxName(r.args) : std::nullopt;
  if (!name || !r.args.space()) return bad(r, "Missing STATUS arguments");
  const auto items = ReadStatusItems(r.args);
  if (!items || !r.args.atEnd()) return bad(r, "Bad STATUS items");
  std::string refusal;
  const auto path = mailboxPath(*name, &refusal);
  if (!path) return no(r, "[NONEXISTENT] " + refusal);
  if (*name != "INBOX" && !platform::FileExists(*path)) return no(r, "[NONEXISTENT] Mailbox doesn't exist");
  const auto box = spool::Mailbox::Open(*path);
  if (!send("* STATUS " + wireName(*name) + " (" + StatusValues(*box, *items) + ")\r\n")) return Next::kEnd;
  return ok(r, "Status completed.");
}

// "APPEND mailbox [(flags)] [date-time] literal", the literal "~{n}" or "UTF8 (~{n})" as well.
ImapSession::Next ImapSession::append(Request& r) {
  const auto name = r.args.space() ? readMailboxName(r.args) : std::nullopt;
  if (!name || !r.args.space()) return bad(r, "Missing APPEND arguments");
  std::string refusal;
  const auto path = mailboxPath(*name, &refusal);
  const bool exists = path && (*name == "INBOX" || platform::FileExists(*path));
  std::shared_ptr<spool::Mailbox> target = exists ? spool::Mailbox::Open(*path) : nullptr;
  FlagList flagList;
  if (r.args.peek() == '(') {
    const auto read = ReadFlagList(r.args);
    if (!read || !r.args.space()) return bad(r, "Bad APPEND flags");
    flagList = *read;
  }
  std::int64_t date = 0;
  if (r.args.peek() == '"') {
    const auto when = ReadDateTime(r.args);
    if (!when || !r.args.space()) return bad(r, "Bad APPEND date");
    date = *when;
  }
  bool utf8 = false;
  if (r.args.keyword("UTF8")) {
    if (!r.args.space() || !r.args.take('(')) return bad(r, "Bad UTF8 literal");
    utf8 = true;
  }
  const auto text = r.args.literal();
  if (!text || (utf8 && !r.args.take(')')) || !r.args.atEnd()) return bad(r, "Bad APPEND message");
  if (!exists) return no(r, path ? "[TRYCREATE] Mailbox doesn't exist" : "[CANNOT] " + refusal);
  if (text->empty()) return no(r, "Can't save a zero byte message");
  // Keywords are made in the target only once the command is known to be whole.
  const auto keywords = KeywordBits(*target, flagList.keywords);
  if (!keywords) return no(r, "[LIMIT] Too many keywords in the mailbox");
  const spool::Mailbox::Arrival arrival{flagList.flags, *keywords, date};
  std::string problem;
  // NUL bytes (a binary append) are kept in base64 parts: no answer may carry them.
  std::string converted;
  std::string_view bytes = *text;
  if (bytes.find('\0') != std::string_view::npos) bytes = converted = WithoutNulBodies(bytes);
  const std::vector<spool::NewMessage> messages = {
      {[bytes](spool::MaildropTextWriter& out) { return out.write(bytes); }, arrival}};
  const auto appended = spool::AppendMessages(*config_, *target, messages, problem);
  if (!appended) {
    log_.LogImapSrv(logtext::kStoreFailed + problem + "\r\n");
    return no(r, "[SERVERBUG] The message could not be stored");
  }
  if (!sendUpdates(true)) return Next::kEnd;
  return ok(r, "[APPENDUID " + std::to_string(appended->uidValidity) + " " + std::to_string(appended->uids[0]) +
                   "] Append completed.");
}

}  // namespace quelma::imap_server
