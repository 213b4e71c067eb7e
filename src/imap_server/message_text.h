// A message's FETCH items that come from its text: ENVELOPE, BODY and BODYSTRUCTURE from its
// stored structure, BODY[section] and BINARY[section] read from the store and sent as
// literals (the large ones streamed, never held whole).
#pragma once

#include <string>

#include "imap_server/fetch_items.h"
#include "mime/message_structure.h"
#include "net/reply_sink.h"
#include "spool/mailbox.h"

namespace quelma::imap_server {

void AppendStructureItem(std::string& out, FetchItem::Kind kind, const mime::MessagePart& root, bool utf8);

enum class SectionOutcome {
  kSent,
  kUnknownEncoding,  // BINARY of a part whose transfer encoding is not known: NO [UNKNOWN-CTE]
  kDamaged,          // BINARY of a part whose encoded text is damaged: NO [PARSE]
  kUnreadable,       // the text could not be read from the store
  kConnectionFailed,
};

// Appends "LABEL {n}" CR LF and the bytes of `item` for the stored message; what `out` holds
// goes to `sink` first when the bytes are streamed after it.
SectionOutcome AppendSectionItem(std::string& out, net::ReplySink& sink, spool::Mailbox& box,
                                 const spool::IndexedMessage& message, const mime::MessagePart& root,
                                 const FetchItem& item);

}  // namespace quelma::imap_server
