// The untagged answers to SEARCH: "* SEARCH 2 3 9" (IMAP4rev1) and "* ESEARCH (TAG "a1") UID
// MIN 2 MAX 9 COUNT 3 ALL 2:3,9" (RETURN options, IMAP4rev2), with the highest MODSEQ when the
// program had a MODSEQ key.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "imap_server/search_program.h"

namespace quelma::imap_server {

// A matching message: its sequence number or (UID SEARCH) its UID, and its MODSEQ.
struct SearchHit {
  std::uint32_t number = 0;
  std::uint64_t modseq = 0;
};

// "* SEARCH 2 3 9" CR LF, and " (MODSEQ n)" before the CR LF when `withModseq` and something
// matched: n the highest MODSEQ of the hits. `hits` ascending.
std::string FormatSearchResponse(const std::vector<SearchHit>& hits, bool withModseq);

// "* ESEARCH (TAG "a1") [UID] [MIN n] [MAX n] [COUNT n] [ALL set] [MODSEQ n]" CR LF for the
// options of `request` (ALL without RETURN). MIN, MAX and ALL are left out when nothing matched,
// and so is MODSEQ; MODSEQ is the highest of the messages the answer names: those of MIN and
// MAX alone, or all hits when ALL or COUNT was asked for. `hits` ascending.
std::string FormatEsearchResponse(std::string_view tag, const SearchRequest& request,
                                  const std::vector<SearchHit>& hits);

}  // namespace quelma::imap_server
