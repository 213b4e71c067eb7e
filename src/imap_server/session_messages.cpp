// The commands on the selected mailbox's messages: STORE, COPY and MOVE, EXPUNGE; FETCH has
// a file of its own.
#include "imap_server/imap_session.h"

#include <algorithm>

#include "imap_server/flag_lists.h"
#include "imap_server/imap_replies.h"
#include "imap_server/sequence_set.h"
#include "platform/files.h"
#include "spool/mailbox_append.h"

namespace quelma::imap_server {

std::vector<std::uint32_t> ImapSession::selectedNumbers(const SequenceSet& set, bool uid) const {
  std::vector<std::uint32_t> numbers;
  const auto& messages = selected_->messages();
  if (uid) {
    for (const auto& [first, last] : set.resolve(selected_->largestUid())) {
      auto it = std::lower_bound(messages.begin(), messages.end(), first,
                                 [](const KnownMessage& m, std::uint32_t u) { return m.uid < u; });
      for (; it != messages.end() && it->uid <= last; ++it) {
        numbers.push_back(static_cast<std::uint32_t>(it - messages.begin()) + 1);
      }
    }
    return numbers;
  }
  for (const auto& [first, last] : set.resolve(selected_->exists())) {
    for (std::uint64_t n = first; n <= last && n <= messages.size(); ++n) numbers.push_back(static_cast<std::uint32_t>(n));
  }
  return numbers;
}

namespace {

// A message-number set that names a number beyond the mailbox is an error; a UID set is not.
bool NumbersInRange(const SequenceSet& set, std::uint32_t exists) {
  for (const auto& [a, b] : set.written()) {
    if (a > exists || b > exists) return false;
  }
  return true;
}

}  // namespace

std::optional<std::uint64_t> ImapSession::storeFlags(std::uint32_t number, std::uint32_t flags, std::uint64_t keywords) {
  const KnownMessage& m = selected_->messages()[number - 1];
  const auto modseq = selected_->box().setFlags(m.uid, flags, keywords);
  if (modseq) selected_->noteFlags(number, flags, keywords, *modseq);
  return modseq;
}

// "STORE set [(UNCHANGEDSINCE n)] [+|-]FLAGS[.SILENT] flags".
ImapSession::Next ImapSession::store(Request& r) {
  std::optional<SequenceSet> set;
  if (!r.args.space() || !(set = ReadSequenceSet(r.args)) || !r.args.space()) return bad(r, "Bad STORE arguments");
  if (!r.uid && !NumbersInRange(*set, selected_->exists())) return bad(r, "Invalid messageset");
  std::optional<std::uint64_t> unchangedSince;
  if (r.args.take('(')) {
    if (!r.args.keyword("UNCHANGEDSINCE") || !r.args.space() || !(unchangedSince = r.args.number64()) ||
        !r.args.take(')') || !r.args.space()) {
      return bad(r, "Bad STORE modifier");
    }
  }
  const char mode = r.args.take('+') ? '+' : r.args.take('-') ? '-' : '=';
  const auto item = r.args.name();
  std::string what = item ? std::string(*item) : std::string();
  for (char& c : what) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  if (what != "FLAGS" && what != "FLAGS.SILENT") return bad(r, "Bad STORE item");
  const bool silent = what == "FLAGS.SILENT";
  const auto list = r.args.space() ? ReadFlagList(r.args, true) : std::nullopt;
  if (!list || !r.args.atEnd()) return bad(r, "Bad STORE flags");
  if (selected_->readOnly()) return no(r, "[READ-ONLY] Mailbox is read-only");
  if (unchangedSince && !enableCondstore()) return Next::kEnd;
  const auto keywords = KeywordBits(selected_->box(), list->keywords);
  if (!keywords) return no(r, "[LIMIT] Too many keywords in the mailbox");
  if (!sendUpdates(r.uid)) return Next::kEnd;
  std::string out;
  std::vector<std::uint32_t> modified;
  bool failed = false;
  for (const std::uint32_t number : selectedNumbers(*set, r.uid)) {
    const KnownMessage m = selected_->messages()[number - 1];
    if (m.gone) continue;  // expunged by another session: nothing left to flag
    if (unchangedSince && m.modseq > *unchangedSince) {
      modified.push_back(r.uid ? m.uid : number);
      continue;
    }
    std::uint32_t flags = mode == '+' ? m.flags | list->flags : mode == '-' ? m.flags & ~list->flags : list->flags;
    std::uint64_t bits = mode == '+' ? m.keywords | *keywords : mode == '-' ? m.keywords & ~*keywords : *keywords;
    std::uint64_t modseq = m.modseq;
    if (flags != m.flags || bits != m.keywords || unchangedSince) {
      const auto stored = storeFlags(number, flags, bits);
      if (!stored) {
        // Expunged by another session meanwhile: gone, not a fault.
        failed = failed || selected_->box().contains(m.uid);
        continue;
      }
      modseq = *stored;
    }
    if (silent && !unchangedSince) continue;
    out += "* " + std::to_string(number) + " FETCH (";
    if (r.uid || qresync_) out += "UID " + std::to_string(m.uid) + " ";
    out += "FLAGS " + selected_->flagList(flags, bits, m.recent && !rev2_);
    if (condstore_) out += " MODSEQ (" + std::to_string(modseq) + ")";
    out += ")\r\n";
  }
  if (!out.empty() && !send(out)) return Next::kEnd;
  if (failed) {
    log_.LogImapSrv(logtext::kStoreFailed + selected_->box().indexPath() + "\r\n");
    return no(r, "[SERVERBUG] Flags could not be stored");
  }
  if (!modified.empty()) {
    std::sort(modified.begin(), modified.end());
    return ok(r, "[MODIFIED " + FormatSequenceSet(modified) + "] Conditional STORE failed");
  }
  return ok(r, "Store completed.");
}

ImapSession::Next ImapSession::copy(Request& r) { return copyOrMove(r, false); }
ImapSession::Next ImapSession::move(Request& r) { return copyOrMove(r, true); }

ImapSession::Next ImapSession::copyOrMove(Request& r, bool move) {
  std::optional<SequenceSet> set;
  std::optional<std::string> name;
  if (!r.args.space() || !(set = ReadSequenceSet(r.args)) || !r.args.space() || !(name = readMailboxName(r.args)) ||
      !r.args.atEnd()) {
    return bad(r, move ? "Bad MOVE arguments" : "Bad COPY arguments");
  }
  if (!r.uid && !NumbersInRange(*set, selected_->exists())) return bad(r, "Invalid messageset");
  if (move && selected_->readOnly()) return no(r, "[READ-ONLY] Mailbox is read-only");
  std::string refusal;
  const auto path = mailboxPath(*name, &refusal);
  if (!path) return no(r, "[CANNOT] " + refusal);
  if (*name != "INBOX" && !platform::FileExists(*path)) return no(r, "[TRYCREATE] Mailbox doesn't exist");
  auto target = spool::Mailbox::Open(*path);
  const auto source = selected_->shared();
  const auto snapshot = source->snapshot();
  const spool::MailboxIndex& index = *snapshot;
  std::vector<spool::NewMessage> copies;
  std::vector<std::uint32_t> sourceUids;
  for (const std::uint32_t number : selectedNumbers(*set, r.uid)) {
    const KnownMessage& m = selected_->messages()[number - 1];
    const auto it = std::lower_bound(index.messages.begin(), index.messages.end(), m.uid,
                                     [](const spool::IndexedMessage& x, std::uint32_t u) { return x.uid < u; });
    if (it == index.messages.end() || it->uid != m.uid) continue;  // expunged meanwhile
    const auto bits = CarriedKeywords(*target, index, it->keywords);
    sourceUids.push_back(m.uid);
    copies.push_back({[source, uid = m.uid, id = it->id](spool::MaildropTextWriter& out) {
                        return source->readText(uid, id, [&out](std::string_view piece) { return out.write(piece); }) ==
                               spool::Mailbox::ReadResult::kWhole;
                      },
                      {it->flags, bits.value_or(0), it->arrival}});
  }
  if (copies.empty()) {
    if (!sendUpdates(r.uid || move)) return Next::kEnd;
    return ok(r, move ? "No messages moved." : "No messages copied.");
  }
  std::string problem;
  const auto appended = spool::AppendMessages(*config_, *target, copies, problem);
  if (!appended) {
    log_.LogImapSrv(logtext::kStoreFailed + problem + "\r\n");
    return no(r, "[SERVERBUG] The messages could not be copied");
  }
  const std::string copyUid = "[COPYUID " + std::to_string(appended->uidValidity) + " " +
                              FormatSequenceSet(sourceUids) + " " + FormatSequenceSet(appended->uids) + "]";
  if (!move) {
    if (!sendUpdates(r.uid)) return Next::kEnd;
    return ok(r, copyUid + " Copy completed.");
  }
  if (!send("* OK " + copyUid + " Moved UIDs.\r\n")) return Next::kEnd;
  if (!source->expungeUnder(selected_->uidValidity(), sourceUids).value_or(false)) {
    log_.LogImapSrv(logtext::kStoreFailed + source->indexPath() + "\r\n");
    return no(r, "[SERVERBUG] The moved messages could not be expunged");
  }
  if (!sendUpdates(true)) return Next::kEnd;
  return ok(r, "Move completed.");
}

ImapSession::Next ImapSession::expunge(Request& r) {
  std::optional<SequenceSet> set;
  if (r.uid && (!r.args.space() || !(set = ReadSequenceSet(r.args)))) return bad(r, "Bad UID EXPUNGE arguments");
  if (!r.args.atEnd()) return bad(r, "Unexpected arguments");
  if (selected_->readOnly()) return no(r, "[READ-ONLY] Mailbox is read-only");
  const auto ranges = set ? set->resolve(selected_->largestUid()) : std::vector<SequenceSet::Range>();
  std::vector<std::uint32_t> uids;
  const auto snapshot = selected_->box().snapshot();
  for (const spool::IndexedMessage& m : snapshot->messages) {
    if ((m.flags & spool::flag::kDeleted) && (!set || Contains(ranges, m.uid))) uids.push_back(m.uid);
  }
  if (!uids.empty() && !selected_->box().expungeUnder(selected_->uidValidity(), uids).value_or(false)) {
    log_.LogImapSrv(logtext::kStoreFailed + selected_->box().indexPath() + "\r\n");
    return no(r, "[SERVERBUG] The messages could not be expunged");
  }
  if (!sendUpdates(true)) return Next::kEnd;
  return ok(r, "Expunge completed.");
}

}  // namespace quelma::imap_server
