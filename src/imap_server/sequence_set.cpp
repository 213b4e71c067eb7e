// Reading, resolving and writing sequence sets.
#include "imap_server/sequence_set.h"

#include <algorithm>
#include <string>

namespace quelma::imap_server {
namespace {

std::optional<std::uint32_t> Number(ArgumentReader& in) {
  if (in.take('*')) return kStar;
  return in.nonZero();
}

}  // namespace

std::optional<SequenceSet> ReadSequenceSet(ArgumentReader& in) {
  std::vector<SequenceSet::Range> ranges;
  do {
    const auto first = Number(in);
    if (!first) return std::nullopt;
    std::uint32_t last = *first;
    if (in.take(':')) {
      const auto second = Number(in);
      if (!second) return std::nullopt;
      last = *second;
    }
    if (ranges.size() == kMaxSequenceRanges) return std::nullopt;
    ranges.emplace_back(*first, last);
  } while (in.take(','));
  return SequenceSet(std::move(ranges));
}

std::vector<SequenceSet::Range> SequenceSet::resolve(std::uint32_t star) const {
  std::vector<Range> out;
  out.reserve(ranges_.size());
  for (auto [a, b] : ranges_) {
    if (a == kStar) a = star;
    if (b == kStar) b = star;
    if (a > b) std::swap(a, b);
    if (a == 0) {
      if (b == 0) continue;  // "*" of an empty mailbox
      a = 1;
    }
    out.emplace_back(a, b);
  }
  std::sort(out.begin(), out.end());
  std::vector<Range> merged;
  for (const Range& r : out) {
    if (!merged.empty() && (r.first <= merged.back().second || r.first - 1 == merged.back().second)) {
      merged.back().second = std::max(merged.back().second, r.second);
    } else {
      merged.push_back(r);
    }
  }
  return merged;
}

bool Contains(const std::vector<SequenceSet::Range>& ranges, std::uint32_t n) {
  const auto it = std::upper_bound(ranges.begin(), ranges.end(), n,
                                   [](std::uint32_t value, const SequenceSet::Range& r) { return value < r.first; });
  return it != ranges.begin() && n <= std::prev(it)->second;
}

std::string FormatSequenceSet(const std::vector<std::uint32_t>& ascending) {
  std::string out;
  for (std::size_t i = 0; i < ascending.size();) {
    std::size_t j = i;
    while (j + 1 < ascending.size() && ascending[j + 1] == ascending[j] + 1) ++j;
    if (!out.empty()) out += ',';
    out += std::to_string(ascending[i]);
    if (j > i) out += ':' + std::to_string(ascending[j]);
    i = j + 1;
  }
  return out;
}

}  // namespace quelma::imap_server
