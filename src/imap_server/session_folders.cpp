// The commands on mailboxes as a whole: SELECT and EXAMINE, CREATE, DELETE, RENAME, the
// subscriptions, LIST and LSUB, NAMESPACE, STATUS, APPEND, CLOSE and UNSELECT.
#include "imap_server/imap_session.h"

#include <algorithm>

#include "codec/modified_utf7.h"
#include "imap_server/flag_lists.h"
#include "imap_server/imap_replies.h"
#include "imap_server/imap_strings.h"
#include "platform/text.h"
#include "imap_server/mailbox_list.h"
#include "imap_server/sequence_set.h"
#include "platform/charset.h"
#include "platform/files.h"
#include "spool/folder_changes.h"
#include "spool/mailbox_append.h"
#include "spool/mailbox_index_file.h"
#include "spool/user_folders.h"

namespace quelma::imap_server {
namespace {


bool IsInboxName(std::string_view name) { return platform::ToUpperAscii(name) == "INBOX"; }


}  // namespace

std::optional<std::string> ImapSession::readMailboxName(ArgumentReader& in) const {
  auto name = in.astring();
  if (!name) return std::nullopt;
  if (IsInboxName(*name)) return std::string("INBOX");
  if (utf8_) return platform::IsValidUtf8(*name) ? name : std::nullopt;
  auto decoded = codec::ModifiedUtf7Decode(*name);
  // A client that sends UTF-8 without having enabled it: taken as it is.
  if (!decoded && platform::IsValidUtf8(*name)) return name;
  if (decoded && decoded->size() >= 6 && IsInboxName(decoded->substr(0, 5)) && (*decoded)[5] == '/') {
    decoded->replace(0, 5, "INBOX");
  }
  return decoded;
}

std::string ImapSession::wireName(const std::string& name) const {
  std::string out;
  if (utf8_) {
    AppendAString(out, name, true);
  } else {
    const auto encoded = codec::ModifiedUtf7Encode(name);
    AppendAString(out, encoded ? *encoded : name);
  }
  return out;
}

std::optional<std::string> ImapSession::mailboxPath(const std::string& name, std::string* refusal) const {
  if (name == "INBOX") return inbox_;
  return spool::FolderPath(inbox_, name, refusal);
}

void ImapSession::logOpenNote(const std::string& path, const spool::MailboxOpenNote& note) {
  if (note.flagsLost) log_.LogImapSrv(logtext::kIndexRebuiltBegin + path + logtext::kIndexRebuiltEnd);
  if (note.notStored) log_.LogImapSrv(logtext::kIndexNotStored + spool::MailboxIndexPath(path) + "\r\n");
}

ImapSession::Next ImapSession::select(Request& r) {
  const bool examine = r.name == "EXAMINE";
  const auto name = r.args.space() ? readMailboxName(r.args) : std::nullopt;
  if (!name) return bad(r, "Missing mailbox name");
  // (CONDSTORE) or (QRESYNC (uidvalidity modseq [known-uids [(seq-match)]])).
  std::optional<std::pair<std::uint32_t, std::uint64_t>> resync;
  std::optional<SequenceSet> knownUids;
  if (r.args.space()) {
    if (!r.args.take('(')) return bad(r, "Bad SELECT parameters");
    do {
      if (r.args.keyword("CONDSTORE")) {
        condstore_ = true;
      } else if (r.args.keyword("QRESYNC")) {
        if (!qresync_) return bad(r, "QRESYNC is not enabled");
        std::optional<std::uint32_t> validity;
        std::optional<std::uint64_t> modseq;
        if (!r.args.space() || !r.args.take('(') || !(validity = r.args.nonZero()) || !r.args.space() ||
            !(modseq = r.args.number64())) {
          return bad(r, "Bad QRESYNC parameters");
        }
        if (r.args.space() && r.args.peek() != '(' && !(knownUids = ReadSequenceSet(r.args))) {
          return bad(r, "Bad QRESYNC known UIDs");
        }
        // The sequence-to-UID hints are taken and not needed: every UID is known here.
        if ((knownUids ? r.args.space() : true) && r.args.take('(')) {
          if (!ReadSequenceSet(r.args) || !r.args.space() || !ReadSequenceSet(r.args) || !r.args.take(')')) {
            return bad(r, "Bad QRESYNC sequence match");
          }
        }
        if (!r.args.take(')')) return bad(r, "Bad QRESYNC parameters");
        resync.emplace(*validity, *modseq);
      } else {
        return bad(r, "Unknown SELECT parameter");
      }
    } while (r.args.space());
    if (!r.args.take(')')) return bad(r, "Bad SELECT parameters");
  }
  if (!r.args.atEnd()) return bad(r, "Unexpected arguments");
  if (selected_) {
    selected_.reset();
    state_ = State::kAuthenticated;
    if (!send("* OK [CLOSED] Previous mailbox closed.\r\n")) return Next::kEnd;
  }
  std::string refusal;
  const auto path = mailboxPath(*name, &refusal);
  if (!path) return no(r, "[NONEXISTENT] " + refusal);
  if (*name != "INBOX" && !platform::FileExists(*path)) return no(r, "[NONEXISTENT] Mailbox doesn't exist: " + wireName(*name));
  spool::MailboxOpenNote note;
  auto box = spool::Mailbox::Open(*path, &note);
  logOpenNote(*path, note);
  selected_ = std::make_unique<SelectedMailbox>(std::move(box), examine, !examine);
  state_ = State::kSelected;
  const SelectedMailbox& s = *selected_;
  std::string out = s.flagsLine();
  out += "* OK [" + s.permanentFlags() + "] Flags permitted.\r\n";
  if (examine) out = s.flagsLine() + "* OK [PERMANENTFLAGS ()] Read-only mailbox.\r\n";
  out += "* " + std::to_string(s.exists()) + " EXISTS\r\n";
  if (!rev2_) {
    out += "* " + std::to_string(s.recentCount()) + " RECENT\r\n";
    const auto& messages = s.messages();
    const auto unseen = std::find_if(messages.begin(), messages.end(),
                                     [](const KnownMessage& m) { return !(m.flags & spool::flag::kSeen); });
    if (unseen != messages.end()) {
      out += "* OK [UNSEEN " + std::to_string(unseen - messages.begin() + 1) + "] First unseen.\r\n";
    }
  }
  out += "* OK [UIDVALIDITY " + std::to_string(s.uidValidity()) + "] UIDs valid\r\n";
  out += "* OK [UIDNEXT " + std::to_string(s.uidNext()) + "] Predicted next UID\r\n";
  if (condstore_) out += "* OK [HIGHESTMODSEQ " + std::to_string(s.highestModseq()) + "] Highest\r\n";
  if (rev2_) out += "* LIST () \"/\" " + wireName(*name) + "\r\n";
  if (resync && resync->first == s.uidValidity()) {
    // What changed since the client's MODSEQ: the UIDs gone (of those it knew), the flags changed.
    const auto known = knownUids ? knownUids->resolve(s.uidNext() > 0 ? s.uidNext() - 1 : 0)
                                 : std::vector<SequenceSet::Range>{{1, s.uidNext() > 1 ? s.uidNext() - 1 : 1}};
    const std::vector<std::uint32_t> gone = s.absentUids(known);
    if (!gone.empty()) out += "* VANISHED (EARLIER) " + FormatSequenceSet(gone) + "\r\n";
    const auto& messages = s.messages();
    for (std::size_t i = 0; i < messages.size(); ++i) {
      const KnownMessage& m = messages[i];
      if (m.modseq <= resync->second) continue;
      out += "* " + std::to_string(i + 1) + " FETCH (UID " + std::to_string(m.uid) + " FLAGS " +
             s.flagList(m.flags, m.keywords, m.recent && !rev2_) + " MODSEQ (" + std::to_string(m.modseq) + "))\r\n";
    }
  }
  if (!send(out)) return Next::kEnd;
  return ok(r, examine ? "[READ-ONLY] Examine completed." : "[READ-WRITE] Select completed.");
}

ImapSession::Next ImapSession::close(Request& r) {
  if (!r.args.atEnd()) return bad(r, "Unexpected arguments");
  if (!selected_->readOnly()) {
    std::vector<std::uint32_t> deleted;
    const auto snapshot = selected_->box().snapshot();
    for (const spool::IndexedMessage& m : snapshot->messages) {
      if (m.flags & spool::flag::kDeleted) deleted.push_back(m.uid);
    }
    if (!deleted.empty() && !selected_->box().expungeUnder(selected_->uidValidity(), deleted).value_or(false)) {
      log_.LogImapSrv(logtext::kStoreFailed + selected_->box().indexPath() + "\r\n");
    }
  }
  selected_.reset();
  state_ = State::kAuthenticated;
  return ok(r, "Close completed.");
}

ImapSession::Next ImapSession::unselect(Request& r) {
  if (!r.args.atEnd()) return bad(r, "Unexpected arguments");
  selected_.reset();
  state_ = State::kAuthenticated;
  return ok(r, "Unselect completed.");
}

ImapSession::Next ImapSession::create(Request& r) {
  const auto name = r.args.space() ? readMailboxName(r.args) : std::nullopt;
  if (!name) return bad(r, "Missing mailbox name");
  std::string use;
  if (r.args.space()) {
    // (USE (\Attribute ...)): one special-use attribute is kept.
    if (!r.args.take('(') || !r.args.keyword("USE") || !r.args.space() || !r.args.take('(')) {
      return bad(r, "Bad CREATE parameters");
    }
    do {
      if (!r.args.take('\\')) return bad(r, "Bad USE attribute");
      const auto word = r.args.atom();
      if (!word) return bad(r, "Bad USE attribute");
      const std::string attribute = "\\" + std::string(*word);
      static constexpr const char* kKnown[] = {"\\All", "\\Archive", "\\Drafts", "\\Flagged", "\\Junk", "\\Sent", "\\Trash"};
      if (std::none_of(std::begin(kKnown), std::end(kKnown), [&](const char* k) { return platform::ToUpperAscii(k) == platform::ToUpperAscii(attribute); })) {
        return no(r, "[USEATTR] Unsupported special-use attribute");
      }
      if (!use.empty()) return no(r, "[USEATTR] One special-use attribute per mailbox");
      for (const char* k : kKnown) {
        if (platform::ToUpperAscii(k) == platform::ToUpperAscii(attribute)) use = k;
      }
    } while (r.args.space());
    if (!r.args.take(')') || !r.args.take(')')) return bad(r, "Bad CREATE parameters");
  }
  if (!r.args.atEnd()) return bad(r, "Unexpected arguments");
  std::string trimmed = *name;
  // A trailing separator says the name is meant to have children: it is the same folder.
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  if (trimmed == "INBOX") return no(r, "[ALREADYEXISTS] Mailbox already exists");
  std::string reason;
  switch (spool::CreateFolder(inbox_, trimmed, reason)) {
    case spool::FolderChange::kDone: break;
    case spool::FolderChange::kExists: return no(r, "[ALREADYEXISTS] Mailbox already exists");
    case spool::FolderChange::kRefused: return no(r, "[CANNOT] " + reason);
    default:
      log_.LogImapSrv(logtext::kStoreFailed + reason + "\r\n");
      return no(r, "[SERVERBUG] Mailbox could not be created");
  }
  if (!use.empty()) {
    auto uses = spool::ReadSpecialUse(inbox_);
    uses.emplace_back(trimmed, use);
    spool::WriteSpecialUse(inbox_, uses);
  }
  return ok(r, "Create completed.");
}

ImapSession::Next ImapSession::remove(Request& r) {
  const auto name = r.args.space() ? readMailboxName(r.args) : std::nullopt;
  if (!name || !r.args.atEnd()) return bad(r, "Missing mailbox name");
  if (*name == "INBOX") return no(r, "[CANNOT] INBOX can't be deleted.");
  std::string reason;
  const auto path = mailboxPath(*name, &reason);
  if (path && !platform::FileExists(*path)) {
    // A name that is only a parent: with children it cannot go (it has no file of its own).
    const auto folders = spool::ListFolders(inbox_);
    const bool parent = std::any_of(folders.begin(), folders.end(),
                                    [&](const std::string& f) { return f.starts_with(*name + "/"); });
    return no(r, parent ? "[CANNOT] Mailbox has children, delete them first" : "[NONEXISTENT] Mailbox doesn't exist");
  }
  if (selected_ && path && selected_->box().path() == *path) {
    selected_.reset();
    state_ = State::kAuthenticated;
  }
  switch (spool::DeleteFolder(inbox_, *name, reason)) {
    case spool::FolderChange::kDone: break;
    case spool::FolderChange::kMissing: return no(r, "[NONEXISTENT] Mailbox doesn't exist");
    case spool::FolderChange::kRefused: return no(r, "[CANNOT] " + reason);
    default:
      log_.LogImapSrv(logtext::kStoreFailed + reason + "\r\n");
      return no(r, "[SERVERBUG] Mailbox could not be deleted");
  }
  auto uses = spool::ReadSpecialUse(inbox_);
  if (std::erase_if(uses, [&](const auto& u) { return u.first == *name; }) > 0) spool::WriteSpecialUse(inbox_, uses);
  return ok(r, "Delete completed.");
}

// RENAME of INBOX moves its messages into the new folder and leaves INBOX empty.
ImapSession::Next ImapSession::rename(Request& r) {
  std::optional<std::string> from, to;
  if (!r.args.space() || !(from = readMailboxName(r.args)) || !r.args.space() || !(to = readMailboxName(r.args)) ||
      !r.args.atEnd()) {
    return bad(r, "Bad RENAME arguments");
  }
  if (*to == "INBOX") return no(r, "[ALREADYEXISTS] Target mailbox already exists");
  std::string reason;
  if (*from == "INBOX") {
    if (spool::CreateFolder(inbox_, *to, reason) != spool::FolderChange::kDone) {
      return no(r, reason.empty() ? "[ALREADYEXISTS] Target mailbox already exists" : "[CANNOT] " + reason);
    }
    auto source = spool::Mailbox::Open(inbox_);
    auto target = spool::Mailbox::Open(*mailboxPath(*to));
    const auto snapshot = source->snapshot();
    const spool::MailboxIndex& index = *snapshot;
    std::vector<spool::NewMessage> copies;
    std::vector<std::uint32_t> uids;
    for (const spool::IndexedMessage& m : index.messages) {
      uids.push_back(m.uid);
      copies.push_back({[source, uid = m.uid, id = m.id](spool::MaildropTextWriter& out) {
                          return source->readText(uid, id, [&out](std::string_view piece) { return out.write(piece); }) ==
                                 spool::Mailbox::ReadResult::kWhole;
                        },
                        {m.flags, CarriedKeywords(*target, index, m.keywords).value_or(0), m.arrival}});
    }
    std::string problem;
    if (!copies.empty() && (!spool::AppendMessages(*config_, *target, copies, problem) ||
                            !source->expungeUnder(index.uidValidity, uids).value_or(false))) {
      log_.LogImapSrv(logtext::kStoreFailed + problem + "\r\n");
      return no(r, "[SERVERBUG] INBOX could not be renamed");
    }
    return ok(r, "Rename completed.");
  }
  const auto path = mailboxPath(*from, &reason);
  if (selected_ && path && selected_->box().path() == *path) {
    selected_.reset();
    state_ = State::kAuthenticated;
  }
  switch (spool::RenameFolder(inbox_, *from, *to, reason)) {
    case spool::FolderChange::kDone: break;
    case spool::FolderChange::kMissing: return no(r, "[NONEXISTENT] Mailbox doesn't exist");
    case spool::FolderChange::kExists: return no(r, "[ALREADYEXISTS] Target mailbox already exists");
    case spool::FolderChange::kRefused: return no(r, "[CANNOT] " + reason);
    default:
      log_.LogImapSrv(logtext::kStoreFailed + reason + "\r\n");
      return no(r, "[SERVERBUG] Mailbox could not be renamed");
  }
  auto uses = spool::ReadSpecialUse(inbox_);
  bool changed = false;
  for (auto& [name, attribute] : uses) {
    if (name == *from || name.starts_with(*from + "/")) {
      name = *to + name.substr(from->size());
      changed = true;
    }
  }
  if (changed) spool::WriteSpecialUse(inbox_, uses);
  return ok(r, "Rename completed.");
}

ImapSession::Next ImapSession::subscribe(Request& r) {
  const auto name = r.args.space() ? readMailboxName(r.args) : std::nullopt;
  if (!name || !r.args.atEnd()) return bad(r, "Missing mailbox name");
  std::string refusal;
  const auto path = mailboxPath(*name, &refusal);
  if (!path) return no(r, "[CANNOT] " + refusal);
  if (*name != "INBOX" && !platform::FileExists(*path)) return no(r, "[NONEXISTENT] Mailbox doesn't exist");
  auto names = spool::ReadSubscriptions(inbox_);
  if (std::find(names.begin(), names.end(), *name) == names.end()) {
    names.push_back(*name);
    if (!spool::WriteSubscriptions(inbox_, names)) return no(r, "[SERVERBUG] Subscriptions could not be stored");
  }
  return ok(r, "Subscribe completed.");
}

ImapSession::Next ImapSession::unsubscribe(Request& r) {
  const auto name = r.args.space() ? readMailboxName(r.args) : std::nullopt;
  if (!name || !r.args.atEnd()) return bad(r, "Missing mailbox name");
  auto names = spool::ReadSubscriptions(inbox_);
  if (std::erase(names, *name) == 0) return no(r, "[NONEXISTENT] Not subscribed");
  if (!spool::WriteSubscriptions(inbox_, names)) return no(r, "[SERVERBUG] Subscriptions could not be stored");
  return ok(r, "Unsubscribe completed.");
}

ImapSession::Next ImapSession::namespaces(Request& r) {
  if (!r.args.atEnd()) return bad(r, "Unexpected arguments");
  if (!send("* NAMESPACE ((\"\" \"/\")) NIL NIL\r\n")) return Next::kEnd;
  return ok(r, "Namespace completed.");
}

}  // namespace quelma::imap_server
