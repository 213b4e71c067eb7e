// The mailbox index: its snapshot and change records on disk, and its sync with the file.
#include "spool/mailbox_index.h"

#include <algorithm>
#include <map>

#include "codec/md5.h"
#include "spool/little_endian.h"

namespace quelma::spool {
namespace {

constexpr std::string_view kMagic = "QMIX";
constexpr std::uint16_t kVersion = 1;
constexpr std::size_t kCheckBytes = 4;
constexpr std::size_t kMaxId = 255;

enum Record : char { kAppended = 'A', kFlags = 'F', kExpunged = 'X', kKeyword = 'K' };

std::string Check(std::string_view bytes) { return codec::Md5Check(bytes, kCheckBytes); }

template <typename T>
void Put(std::string& out, T value) {
  PutLittleEndian(out, value);
}

void PutText(std::string& out, std::string_view text) {
  Put<std::uint8_t>(out, static_cast<std::uint8_t>(text.size()));
  out += text;
}

void PutMessage(std::string& out, const IndexedMessage& m) {
  Put(out, m.uid);
  Put(out, m.offset);
  Put(out, m.size);
  Put(out, m.flags);
  Put(out, m.keywords);
  Put(out, m.modseq);
  Put(out, m.arrival);
  PutText(out, std::string_view(m.id).substr(0, kMaxId));
}

// Reads little-endian values off the front of its bytes; once a read runs past the end,
// every later read fails too.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  template <typename T>
  bool get(T& value) {
    if (bytes_.size() < sizeof(T)) return ok_ = false;
    value = GetLittleEndian<T>(bytes_);
    bytes_.remove_prefix(sizeof(T));
    return ok_;
  }
  bool text(std::string& value) {
    std::uint8_t length = 0;
    if (!get(length) || bytes_.size() < length) return ok_ = false;
    value.assign(bytes_.substr(0, length));
    bytes_.remove_prefix(length);
    return ok_;
  }
  bool message(IndexedMessage& m) {
    return get(m.uid) && get(m.offset) && get(m.size) && get(m.flags) && get(m.keywords) && get(m.modseq) &&
           get(m.arrival) && text(m.id);
  }
  std::size_t left() const { return bytes_.size(); }

 private:
  std::string_view bytes_;
  bool ok_ = true;
};

std::string Framed(char type, const std::string& payload) {
  std::string out(1, type);
  Put(out, static_cast<std::uint32_t>(payload.size()));
  out += payload;
  return out + Check(out);
}

// Where the last message the file holds begins, expunged or not.
std::optional<std::uint64_t> LastOffset(const MailboxIndex& index) {
  std::optional<std::uint64_t> last;
  if (!index.messages.empty()) last = index.messages.back().offset;
  if (!index.expunged.empty()) last = std::max(last.value_or(0), index.expunged.back().offset);
  return last;
}

bool ApplyAppended(MailboxIndex& index, Reader& r) {
  IndexedMessage m;
  std::uint64_t synced = 0;
  if (!r.message(m) || !r.get(synced) || m.uid < index.uidNext || m.uid == UINT32_MAX) return false;
  if (const auto last = LastOffset(index); last && m.offset <= *last) return false;
  index.uidNext = m.uid + 1;
  index.highestModseq = std::max(index.highestModseq, m.modseq);
  index.syncedSize = synced;
  index.messages.push_back(std::move(m));
  return true;
}

IndexedMessage* Find(MailboxIndex& index, std::uint32_t uid) {
  const auto it = std::lower_bound(index.messages.begin(), index.messages.end(), uid,
                                   [](const IndexedMessage& m, std::uint32_t u) { return m.uid < u; });
  return it != index.messages.end() && it->uid == uid ? &*it : nullptr;
}

bool ApplyFlags(MailboxIndex& index, Reader& r) {
  std::uint32_t uid = 0, flags = 0;
  std::uint64_t keywords = 0, modseq = 0;
  if (!r.get(uid) || !r.get(flags) || !r.get(keywords) || !r.get(modseq)) return false;
  if (IndexedMessage* m = Find(index, uid)) {  // one expunged since is no fault
    m->flags = flags & flag::kAll;
    m->keywords = keywords;
    m->modseq = modseq;
  }
  index.highestModseq = std::max(index.highestModseq, modseq);
  return true;
}

bool ApplyExpunged(MailboxIndex& index, Reader& r) {
  std::uint32_t uid = 0;
  std::uint64_t modseq = 0;
  if (!r.get(uid) || !r.get(modseq)) return false;
  if (IndexedMessage* m = Find(index, uid)) {  // one expunged before is no fault
    IndexedMessage gone = std::move(*m);
    index.messages.erase(index.messages.begin() + (m - index.messages.data()));
    const auto at = std::lower_bound(index.expunged.begin(), index.expunged.end(), uid,
                                     [](const IndexedMessage& e, std::uint32_t u) { return e.uid < u; });
    index.expunged.insert(at, std::move(gone));
  }
  index.highestModseq = std::max(index.highestModseq, modseq);
  return true;
}

bool ApplyKeyword(MailboxIndex& index, Reader& r) {
  std::string name;
  if (!r.text(name) || name.empty()) return false;
  if (std::find(index.keywords.begin(), index.keywords.end(), name) != index.keywords.end()) return true;
  if (index.keywords.size() >= kMaxKeywords) return false;
  index.keywords.push_back(std::move(name));
  return true;
}

bool ApplyRecord(MailboxIndex& index, char type, std::string_view payload) {
  Reader r(payload);
  bool ok = false;
  switch (type) {
    case kAppended: ok = ApplyAppended(index, r); break;
    case kFlags: ok = ApplyFlags(index, r); break;
    case kExpunged: ok = ApplyExpunged(index, r); break;
    case kKeyword: ok = ApplyKeyword(index, r); break;
    default: break;
  }
  return ok && r.left() == 0;
}

// A count and that many messages, UIDs and offsets ascending, each UID below `uidNext`.
bool DecodeMessages(Reader& r, std::uint32_t uidNext, std::vector<IndexedMessage>& messages) {
  std::uint32_t count = 0;
  if (!r.get(count) || count > r.left() / 49) return false;  // 49: the smallest message entry
  for (std::uint32_t i = 0; i < count; ++i) {
    IndexedMessage m;
    if (!r.message(m)) return false;
    const bool ascending =
        messages.empty() || (m.uid > messages.back().uid && m.offset > messages.back().offset);
    if (!ascending || m.uid >= uidNext) return false;
    messages.push_back(std::move(m));
  }
  return true;
}

// UIDs follow the file: taken in UID order, the messages of both lists lie ever further on.
bool UidOrderIsFileOrder(const MailboxIndex& index) {
  std::vector<const IndexedMessage*> all;
  for (const auto* list : {&index.messages, &index.expunged}) {
    for (const IndexedMessage& m : *list) all.push_back(&m);
  }
  std::sort(all.begin(), all.end(), [](const IndexedMessage* a, const IndexedMessage* b) { return a->uid < b->uid; });
  for (std::size_t i = 1; i < all.size(); ++i) {
    if (all[i]->uid == all[i - 1]->uid || all[i]->offset <= all[i - 1]->offset) return false;
  }
  return true;
}

std::optional<MailboxIndex> DecodeSnapshotBody(std::string_view body) {
  Reader r(body);
  MailboxIndex index;
  std::uint16_t keywords = 0;
  if (!r.get(index.uidValidity) || !r.get(index.uidNext) || !r.get(index.highestModseq) || !r.get(index.syncedSize) ||
      !r.get(keywords) || keywords > kMaxKeywords) {
    return std::nullopt;
  }
  for (std::uint16_t k = 0; k < keywords; ++k) {
    std::string name;
    if (!r.text(name)) return std::nullopt;
    index.keywords.push_back(std::move(name));
  }
  if (!DecodeMessages(r, index.uidNext, index.messages) || !DecodeMessages(r, index.uidNext, index.expunged)) {
    return std::nullopt;
  }
  if (r.left() != 0 || index.uidValidity == 0 || !UidOrderIsFileOrder(index)) return std::nullopt;
  return index;
}

}  // namespace

std::string EncodeIndex(const MailboxIndex& index) {
  std::string body;
  Put(body, index.uidValidity);
  Put(body, index.uidNext);
  Put(body, index.highestModseq);
  Put(body, index.syncedSize);
  const std::size_t keywords = std::min(index.keywords.size(), kMaxKeywords);
  Put(body, static_cast<std::uint16_t>(keywords));
  for (std::size_t k = 0; k < keywords; ++k) PutText(body, std::string_view(index.keywords[k]).substr(0, kMaxId));
  for (const auto* list : {&index.messages, &index.expunged}) {
    Put(body, static_cast<std::uint32_t>(list->size()));
    for (const IndexedMessage& m : *list) PutMessage(body, m);
  }
  std::string out(kMagic);
  Put(out, kVersion);
  Put(out, static_cast<std::uint32_t>(body.size()));
  out += body;
  return out + Check(out);
}

std::string EncodeAppended(const IndexedMessage& message, std::uint64_t syncedSize) {
  std::string payload;
  PutMessage(payload, message);
  Put(payload, syncedSize);
  return Framed(kAppended, payload);
}

std::string EncodeFlags(std::uint32_t uid, std::uint32_t flags, std::uint64_t keywords, std::uint64_t modseq) {
  std::string payload;
  Put(payload, uid);
  Put(payload, flags);
  Put(payload, keywords);
  Put(payload, modseq);
  return Framed(kFlags, payload);
}

std::string EncodeExpunged(std::uint32_t uid, std::uint64_t modseq) {
  std::string payload;
  Put(payload, uid);
  Put(payload, modseq);
  return Framed(kExpunged, payload);
}

std::string EncodeKeyword(std::string_view name) {
  std::string payload;
  PutText(payload, name.substr(0, kMaxId));
  return Framed(kKeyword, payload);
}

std::optional<DecodedIndex> DecodeIndex(std::string_view bytes) {
  Reader head(bytes);
  std::string magic(kMagic.size(), '\0');
  for (char& c : magic) head.get(c);
  std::uint16_t version = 0;
  std::uint32_t length = 0;
  if (magic != kMagic || !head.get(version) || version != kVersion || !head.get(length) ||
      head.left() < std::uint64_t{length} + kCheckBytes) {
    return std::nullopt;
  }
  const std::size_t bodyAt = kMagic.size() + sizeof(version) + sizeof(length);
  const std::size_t snapshotEnd = bodyAt + length;
  if (bytes.substr(snapshotEnd, kCheckBytes) != Check(bytes.substr(0, snapshotEnd))) return std::nullopt;
  auto index = DecodeSnapshotBody(bytes.substr(bodyAt, length));
  if (!index) return std::nullopt;
  DecodedIndex decoded{std::move(*index)};
  std::string_view rest = bytes.substr(snapshotEnd + kCheckBytes);
  while (!rest.empty()) {
    Reader r(rest);
    char type = 0;
    std::uint32_t payload = 0;
    if (!r.get(type) || !r.get(payload) || r.left() < std::uint64_t{payload} + kCheckBytes) break;
    const std::size_t whole = 1 + sizeof(payload) + payload;
    if (rest.substr(whole, kCheckBytes) != Check(rest.substr(0, whole))) break;
    MailboxIndex applied = decoded.index;
    if (!ApplyRecord(applied, type, rest.substr(1 + sizeof(payload), payload))) break;
    decoded.index = std::move(applied);
    ++decoded.records;
    rest.remove_prefix(whole + kCheckBytes);
  }
  decoded.tornTail = !rest.empty();
  return decoded;
}

std::vector<ScannedMessage> MessagesInFile(const MailboxIndex& index) {
  std::vector<ScannedMessage> all;
  all.reserve(index.messages.size() + index.expunged.size());
  for (const auto* list : {&index.messages, &index.expunged}) {
    for (const IndexedMessage& m : *list) all.push_back({m.offset, m.size, m.id});
  }
  std::sort(all.begin(), all.end(), [](const ScannedMessage& a, const ScannedMessage& b) { return a.offset < b.offset; });
  return all;
}

IndexSync SyncIndex(const std::optional<MailboxIndex>& old, const std::vector<ScannedMessage>& scanned,
                    std::uint64_t fileSize, std::int64_t now, std::uint32_t freshUidValidity,
                    const NewMessageShaper& shapeNew) {
  IndexSync sync;
  MailboxIndex& index = sync.index;
  // Where each old message is found again: the scanned message with its id and size.
  std::map<std::string, std::size_t> byId;
  for (std::size_t i = 0; i < scanned.size(); ++i) byId.emplace(scanned[i].id, i);
  std::vector<const IndexedMessage*> match(scanned.size(), nullptr);
  std::vector<std::optional<IndexedMessage>> gone(scanned.size());  // expunged before, still in the file
  const auto found = [&](const IndexedMessage& m) -> std::optional<std::size_t> {
    const auto it = byId.find(m.id);
    if (it == byId.end() || scanned[it->second].size != m.size || match[it->second] || gone[it->second]) return std::nullopt;
    return it->second;
  };
  bool inOrder = true;
  std::size_t last = 0, lastKept = 0;  // the expunged ones in order among themselves, the kept ones too
  bool any = false, anyKept = false;
  if (old) {
    for (const IndexedMessage& m : old->expunged) {
      if (const auto at = found(m)) {
        if (any && *at <= last) inOrder = false;
        gone[*at] = m;
        last = *at;
        any = true;
      }
    }
    for (const IndexedMessage& m : old->messages) {
      const auto at = found(m);
      if (!at) {
        ++sync.expunged;
        continue;
      }
      if (anyKept && *at <= lastKept) inOrder = false;
      match[*at] = &m;
      lastKept = *at;
      anyKept = true;
    }
  }
  // A new message before a kept one would need a UID below that one's.
  for (std::size_t i = 0; anyKept && i < lastKept; ++i) inOrder = inOrder && (match[i] != nullptr || gone[i]);
  const bool keepUids = old && inOrder;
  sync.uidValidityChanged = old.has_value() && !keepUids;
  index.uidValidity = keepUids ? old->uidValidity
                               : (old && freshUidValidity == old->uidValidity ? freshUidValidity + 1 : freshUidValidity);
  if (index.uidValidity == 0) index.uidValidity = 1;
  index.uidNext = keepUids ? old->uidNext : 1;
  index.keywords = old ? old->keywords : std::vector<std::string>();
  const std::uint64_t modseq = (old ? old->highestModseq : 0) + 1;
  index.highestModseq = old ? old->highestModseq : modseq;
  for (std::size_t i = 0; i < scanned.size(); ++i) {
    if (gone[i]) {
      IndexedMessage still = std::move(*gone[i]);
      if (!keepUids) still.uid = index.uidNext++;  // never shown: a UID only to keep the order
      still.offset = scanned[i].offset;
      index.expunged.push_back(std::move(still));
      continue;
    }
    IndexedMessage m;
    if (const IndexedMessage* known = match[i]) {
      m = *known;
      ++sync.kept;
    } else {
      m.modseq = modseq;
      m.arrival = now;
      ++sync.added;
    }
    if (!match[i] || !keepUids) {
      if (index.uidNext == UINT32_MAX) break;  // no UID left: the rest waits for a new UIDVALIDITY
      m.uid = index.uidNext++;
    }
    if (!keepUids) m.modseq = modseq;
    m.offset = scanned[i].offset;
    m.size = scanned[i].size;
    m.id = scanned[i].id;
    if (!match[i] && shapeNew) {
      shapeNew(m);
      m.flags &= flag::kAll;
      if (index.keywords.size() < 64) m.keywords &= (std::uint64_t{1} << index.keywords.size()) - 1;
    }
    index.highestModseq = std::max(index.highestModseq, m.modseq);
    index.messages.push_back(std::move(m));
  }
  if (sync.added > 0 || sync.expunged > 0 || sync.uidValidityChanged) index.highestModseq = std::max(index.highestModseq, modseq);
  index.syncedSize = fileSize;
  return sync;
}

}  // namespace quelma::spool
