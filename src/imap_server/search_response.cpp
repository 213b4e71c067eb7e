// Writing the SEARCH and ESEARCH answers.
#include "imap_server/search_response.h"

#include <algorithm>

#include "imap_server/imap_strings.h"
#include "imap_server/sequence_set.h"

namespace quelma::imap_server {
namespace {

std::uint64_t HighestModseq(const std::vector<SearchHit>& hits) {
  std::uint64_t highest = 0;
  for (const SearchHit& hit : hits) highest = std::max(highest, hit.modseq);
  return highest;
}

}  // namespace

std::string FormatSearchResponse(const std::vector<SearchHit>& hits, bool withModseq) {
  std::string out = "* SEARCH";
  for (const SearchHit& hit : hits) out += " " + std::to_string(hit.number);
  if (withModseq && !hits.empty()) out += " (MODSEQ " + std::to_string(HighestModseq(hits)) + ")";
  out += "\r\n";
  return out;
}

std::string FormatEsearchResponse(std::string_view tag, const SearchRequest& request,
                                  const std::vector<SearchHit>& hits) {
  SearchReturn options;
  options.all = true;
  if (request.returnOptions) options = *request.returnOptions;
  std::string out = "* ESEARCH (TAG ";
  AppendString(out, tag);
  out += ")";
  if (request.uid) out += " UID";
  if (!hits.empty()) {
    if (options.min) out += " MIN " + std::to_string(hits.front().number);
    if (options.max) out += " MAX " + std::to_string(hits.back().number);
  }
  if (options.count) out += " COUNT " + std::to_string(hits.size());
  if (!hits.empty() && options.all) {
    std::vector<std::uint32_t> numbers;
    numbers.reserve(hits.size());
    for (const SearchHit& hit : hits) numbers.push_back(hit.number);
    out += " ALL " + FormatSequenceSet(numbers);
  }
  if (request.usesModseq && !hits.empty()) {
    const std::uint64_t modseq = options.all || options.count ? HighestModseq(hits)
                                                              : std::max(options.min ? hits.front().modseq : 0,
                                                                         options.max ? hits.back().modseq : 0);
    out += " MODSEQ " + std::to_string(modseq);
  }
  out += "\r\n";
  return out;
}

}  // namespace quelma::imap_server
