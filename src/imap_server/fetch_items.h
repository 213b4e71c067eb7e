// What a FETCH asks for: its items (macros spelled out), the sections and partial ranges of
// BODY[] and BINARY[], and the CHANGEDSINCE modifier.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "imap_server/command_syntax.h"
#include "imap_server/fetch_section.h"

namespace quelma::imap_server {

inline constexpr std::size_t kMaxFetchItems = 100;
inline constexpr std::size_t kMaxHeaderFields = 200;

struct FetchItem {
  enum class Kind {
    kFlags, kInternalDate, kSize, kEnvelope, kBody, kBodyStructure, kUid, kModseq,
    kSection,      // BODY[...], BODY.PEEK[...], RFC822, RFC822.HEADER, RFC822.TEXT
    kBinary,       // BINARY[...], BINARY.PEEK[...]
    kBinarySize,   // BINARY.SIZE[...]
  };
  Kind kind = Kind::kFlags;
  SectionSpec section;
  bool peek = false;  // does not set \Seen
  std::optional<std::pair<std::uint32_t, std::uint32_t>> partial;  // <origin.count>
  // The item's name in the answer: "BODY[HEADER.FIELDS (From To)]", "RFC822.HEADER", "BINARY[1]";
  // a partial answer adds "<origin>".
  std::string label;
  bool operator==(const FetchItem&) const = default;
};

struct FetchRequest {
  std::vector<FetchItem> items;
  std::optional<std::uint64_t> changedSince;
  bool vanished = false;
  bool has(FetchItem::Kind kind) const;
  bool setsSeen() const;  // a BODY[] or BINARY[] item that is no PEEK
};

// The items after "FETCH set SP" up to the end of the command; nothing for a syntax error.
std::optional<FetchRequest> ReadFetchRequest(ArgumentReader& in);

}  // namespace quelma::imap_server
