// SEARCH and UID SEARCH: each message of the view through the matcher, its summary and text
// read only when a key needs them; the answer as SEARCH, or as ESEARCH when RETURN was given.
#include "imap_server/imap_session.h"

#include <algorithm>

#include "imap_server/imap_replies.h"
#include "imap_server/search_match.h"
#include "imap_server/search_program.h"
#include "imap_server/search_response.h"
#include "platform/text.h"

namespace quelma::imap_server {
namespace {

using Kind = SearchKey::Kind;

// Whether a key looks at the header fields or the text (and so needs the summary).
bool NeedsContent(const SearchKey& key, std::size_t depth = 0) {
  if (key.kind == Kind::kHeader || key.kind == Kind::kBody || key.kind == Kind::kText || key.kind == Kind::kSentBefore ||
      key.kind == Kind::kSentOn || key.kind == Kind::kSentSince) {
    return true;
  }
  if (depth > 64) return true;
  return std::any_of(key.children.begin(), key.children.end(),
                     [depth](const SearchKey& child) { return NeedsContent(child, depth + 1); });
}

}  // namespace

ImapSession::Next ImapSession::search(Request& r) {
  if (!r.args.space()) return bad(r, "Missing SEARCH arguments");
  const SearchParse parse = ReadSearchRequest(r.args, r.uid);
  if (parse.outcome == SearchParse::Outcome::kBadCharset) return no(r, "[BADCHARSET (UTF-8)] Unsupported charset");
  if (parse.outcome != SearchParse::Outcome::kOk || !r.args.atEnd()) return bad(r, "Error in SEARCH arguments");
  const SearchRequest& request = parse.request;
  if (request.usesModseq && !enableCondstore()) return Next::kEnd;
  if (!sendUpdates(r.uid)) return Next::kEnd;
  spool::Mailbox& box = selected_->box();
  const auto snapshot = box.snapshot();
  const spool::MailboxIndex& index = *snapshot;
  const bool content = NeedsContent(request.program);
  SearchMatcher matcher(request.program, {selected_->exists(), selected_->largestUid()});
  std::vector<SearchHit> hits;
  const auto& messages = selected_->messages();
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const KnownMessage& m = messages[i];
    const auto it = std::lower_bound(index.messages.begin(), index.messages.end(), m.uid,
                                     [](const spool::IndexedMessage& x, std::uint32_t u) { return x.uid < u; });
    if (m.gone || it == index.messages.end() || it->uid != m.uid) continue;
    const spool::IndexedMessage& stored = *it;
    std::optional<mime::MessagePart> summary;
    if (content) summary = box.summary(m.uid);
    std::optional<std::string> text;
    bool read = false;
    SearchMessage message;
    message.sequence = static_cast<std::uint32_t>(i + 1);
    message.uid = m.uid;
    message.flags = m.flags;
    message.recent = m.recent && !rev2_;
    message.modseq = m.modseq;
    message.internalDate = stored.arrival;
    message.size = stored.size;
    message.hasKeyword = [&](std::string_view name) {
      const auto& keywords = selected_->keywords();
      for (std::size_t k = 0; k < keywords.size() && k < 64; ++k) {
        if ((m.keywords & (std::uint64_t{1} << k)) &&
            platform::ToUpperAscii(keywords[k]) == platform::ToUpperAscii(name)) {
          return true;
        }
      }
      return false;
    };
    message.structure = summary ? &*summary : nullptr;
    message.text = [&]() -> std::optional<std::string_view> {
      if (!read) {
        read = true;
        std::string whole;
        if (box.readText(stored.uid, stored.id, [&whole](std::string_view piece) {
              whole += piece;
              return true;
            }) == spool::Mailbox::ReadResult::kWhole) {
          text = std::move(whole);
        }
      }
      if (!text) return std::nullopt;
      return std::string_view(*text);
    };
    if (matcher.matches(message)) hits.push_back({r.uid ? m.uid : message.sequence, m.modseq});
  }
  const std::string answer = request.returnOptions ? FormatEsearchResponse(r.tag, request, hits)
                                                   : FormatSearchResponse(hits, request.usesModseq);
  if (!send(answer)) return Next::kEnd;
  if (matcher.missedText()) return ok(r, "Search completed (some messages could not be read).");
  return ok(r, "Search completed.");
}

}  // namespace quelma::imap_server
