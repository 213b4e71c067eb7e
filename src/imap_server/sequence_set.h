// Sequence sets ("1:4,7,9:*") as commands give message numbers and UIDs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "imap_server/command_syntax.h"

namespace quelma::imap_server {

inline constexpr std::size_t kMaxSequenceRanges = 10000;
inline constexpr std::uint32_t kStar = 0;  // "*": the largest number in use

class SequenceSet {
 public:
  using Range = std::pair<std::uint32_t, std::uint32_t>;  // as written: either end may be kStar
  explicit SequenceSet(std::vector<Range> ranges = {}) : ranges_(std::move(ranges)) {}

  // The numbers it names once "*" stands for `star`, in ascending ranges that neither touch
  // nor overlap (a range "5:2" is "2:5"). With `star` 0 (no message), "*" names nothing.
  std::vector<Range> resolve(std::uint32_t star) const;
  const std::vector<Range>& written() const { return ranges_; }

 private:
  std::vector<Range> ranges_;
};

// A sequence set; nothing when the text is not one or has more than kMaxSequenceRanges ranges.
std::optional<SequenceSet> ReadSequenceSet(ArgumentReader& in);

// Whether `n` lies in ranges as resolve() gives them.
bool Contains(const std::vector<SequenceSet::Range>& ranges, std::uint32_t n);

// Ascending numbers written as a sequence set: "1:3,7" (COPYUID, ESEARCH, VANISHED).
std::string FormatSequenceSet(const std::vector<std::uint32_t>& ascending);

}  // namespace quelma::imap_server
