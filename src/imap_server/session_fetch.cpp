// FETCH: each message's items in the order asked, its text streamed from the store as
// literals, \Seen set by a BODY[] that is no PEEK, CHANGEDSINCE.
#include "imap_server/imap_session.h"

#include <algorithm>

#include "imap_server/fetch_items.h"
#include "imap_server/imap_replies.h"
#include "imap_server/imap_strings.h"
#include "imap_server/message_text.h"
#include "imap_server/sequence_set.h"

namespace quelma::imap_server {

ImapSession::Next ImapSession::fetch(Request& r) {
  std::optional<SequenceSet> set;
  if (!r.args.space() || !(set = ReadSequenceSet(r.args)) || !r.args.space()) return bad(r, "Bad FETCH arguments");
  const auto request = ReadFetchRequest(r.args);
  if (!request) return bad(r, "Bad FETCH items");
  if (!r.uid && !std::all_of(set->written().begin(), set->written().end(), [&](const auto& range) {
        return range.first <= selected_->exists() && range.second <= selected_->exists();
      })) {
    return bad(r, "Invalid messageset");
  }
  if (request->vanished && (!r.uid || !qresync_)) return bad(r, "VANISHED needs UID FETCH and QRESYNC");
  if ((request->changedSince || request->has(FetchItem::Kind::kModseq)) && !enableCondstore()) return Next::kEnd;
  if (!sendUpdates(r.uid)) return Next::kEnd;
  if (request->vanished) {
    // The UIDs asked for that are gone: every such one, whatever its MODSEQ (the server keeps
    // none for expunged mail), which the client takes as already known where it was.
    const auto gone = selected_->absentUids(set->resolve(selected_->uidNext() > 0 ? selected_->uidNext() - 1 : 0));
    if (!gone.empty() && !send("* VANISHED (EARLIER) " + FormatSequenceSet(gone) + "\r\n")) return Next::kEnd;
  }
  bool anyGone = false;
  std::optional<SectionOutcome> failure;
  const auto snapshot = selected_->box().snapshot();
  const spool::MailboxIndex& index = *snapshot;
  for (const std::uint32_t number : selectedNumbers(*set, r.uid)) {
    const KnownMessage& m = selected_->messages()[number - 1];
    const auto it = std::lower_bound(index.messages.begin(), index.messages.end(), m.uid,
                                     [](const spool::IndexedMessage& x, std::uint32_t u) { return x.uid < u; });
    if (m.gone || it == index.messages.end() || it->uid != m.uid) {
      anyGone = true;
      continue;
    }
    if (request->changedSince && m.modseq <= *request->changedSince) continue;
    const SectionOutcome outcome = fetchOne(number, *request, r.uid, *it);
    if (outcome == SectionOutcome::kConnectionFailed) return Next::kEnd;
    // Expunged by another session since the index was taken: gone, not broken.
    if (outcome == SectionOutcome::kUnreadable && !selected_->box().contains(m.uid)) {
      anyGone = true;
      continue;
    }
    if (outcome != SectionOutcome::kSent && !failure) failure = outcome;
  }
  if (failure == SectionOutcome::kUnknownEncoding) return no(r, "[UNKNOWN-CTE] Unknown Content-Transfer-Encoding");
  if (failure == SectionOutcome::kDamaged) return no(r, "[PARSE] Invalid data in the encoded body");
  if (failure == SectionOutcome::kUnreadable) return no(r, "[SERVERBUG] A message could not be read");
  if (anyGone) return no(r, "[EXPUNGEISSUED] Some of the requested messages no longer exist");
  return ok(r, "Fetch completed.");
}

// One message's answer: the literals that fit go out with it, a large one is streamed in its
// place.
SectionOutcome ImapSession::fetchOne(std::uint32_t number, const FetchRequest& request, bool uid,
                                     const spool::IndexedMessage& stored) {
  KnownMessage m = selected_->messages()[number - 1];
  spool::Mailbox& box = selected_->box();
  bool flagsGiven = false;
  if (request.setsSeen() && !selected_->readOnly() && !(m.flags & spool::flag::kSeen)) {
    if (const auto modseq = storeFlags(number, m.flags | spool::flag::kSeen, m.keywords)) {
      m.flags |= spool::flag::kSeen;
      m.modseq = *modseq;
      flagsGiven = true;  // the answer says so
    }
  }
  std::string out = "* " + std::to_string(number) + " FETCH (";
  bool first = true;
  const auto next = [&](std::string_view name) {
    if (!first) out += ' ';
    first = false;
    out += name;
  };
  const bool wantUid = uid || request.has(FetchItem::Kind::kUid);
  if (wantUid) next("UID " + std::to_string(m.uid));
  if (flagsGiven && !request.has(FetchItem::Kind::kFlags)) next("FLAGS " + selected_->flagList(m.flags, m.keywords, m.recent && !rev2_));
  std::optional<mime::MessagePart> summary;
  const auto structure = [&]() -> const mime::MessagePart* {
    if (!summary) summary = box.summary(m.uid);
    return summary ? &*summary : nullptr;
  };
  for (const FetchItem& item : request.items) {
    switch (item.kind) {
      case FetchItem::Kind::kUid: break;  // given first
      case FetchItem::Kind::kFlags: next("FLAGS " + selected_->flagList(m.flags, m.keywords, m.recent && !rev2_)); break;
      case FetchItem::Kind::kInternalDate: next("INTERNALDATE \"" + FormatInternalDate(stored.arrival) + "\""); break;
      case FetchItem::Kind::kSize: next("RFC822.SIZE " + std::to_string(stored.size)); break;
      case FetchItem::Kind::kModseq: next("MODSEQ (" + std::to_string(m.modseq) + ")"); break;
      case FetchItem::Kind::kEnvelope:
      case FetchItem::Kind::kBody:
      case FetchItem::Kind::kBodyStructure: {
        const mime::MessagePart* part = structure();
        if (!part) return SectionOutcome::kUnreadable;
        next(item.label + " ");
        AppendStructureItem(out, item.kind, *part, utf8_);
        break;
      }
      case FetchItem::Kind::kSection:
      case FetchItem::Kind::kBinary:
      case FetchItem::Kind::kBinarySize: {
        const mime::MessagePart* part = structure();
        if (!part) return SectionOutcome::kUnreadable;
        if (!first) out += ' ';
        first = false;
        const SectionOutcome outcome = AppendSectionItem(out, sink_, box, stored, *part, item);
        if (outcome != SectionOutcome::kSent) return outcome;
        break;
      }
    }
  }
  if (request.changedSince && !request.has(FetchItem::Kind::kModseq)) next("MODSEQ (" + std::to_string(m.modseq) + ")");
  return send(out + ")\r\n") ? SectionOutcome::kSent : SectionOutcome::kConnectionFailed;
}

}  // namespace quelma::imap_server
