// Charset conversion with iconv: the source charset to UTF-32, then UTF-32 to Windows-1251 (or
// to UTF-8, which needs no iconv).
#include <cerrno>
#include <cstring>
#include <iconv.h>

#include <array>
#include <cstdint>
#include <memory>

#include "platform/charset.h"
#include "platform/charset_names.h"
#include "platform/cp1251_utf8.h"

namespace quelma::platform::charsets {
namespace {

// The two steps keep apart what one step would mix up: a sequence that is not valid in the source
// charset (the first step refuses it) and a character Windows-1251 lacks (the second refuses it).
// Each refusal is stepped over, leaves one mark, and the conversion goes on in bulk.
constexpr char kUtf32[] = "UTF-32LE";
// U+FFFD in UTF-32LE: stands for a bad source sequence; Windows-1251 has no byte for it.
constexpr char kReplacement[4] = {'\xFD', '\xFF', '\0', '\0'};

class Iconv {
 public:
  Iconv(const char* to, const char* from) : descriptor_(iconv_open(to, from)) {}
  ~Iconv() {
    if (opened()) iconv_close(descriptor_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;

  bool opened() const { return descriptor_ != reinterpret_cast<iconv_t>(-1); }

  // Back to the initial state: an earlier conversion may have ended on a refusal.
  void reset() { iconv(descriptor_, nullptr, nullptr, nullptr, nullptr); }

  // Converts as much as it can; false on a refused or incomplete sequence (errno says which),
  // with `in` at its start.
  bool convert(const char*& in, std::size_t& inLeft, char*& out, std::size_t& outLeft) {
    char* from = const_cast<char*>(in);  // iconv never writes through its input pointer
    const std::size_t result = iconv(descriptor_, &from, &inLeft, &out, &outLeft);
    in = from;
    return result != static_cast<std::size_t>(-1);
  }

 private:
  iconv_t descriptor_;
};

// Opening a descriptor costs far more than a header's conversion: each thread keeps its own.
struct ThreadDescriptors {
  std::array<std::unique_ptr<Iconv>, kCharsetCount> decoders;
  std::unique_ptr<Iconv> encoder;
};

Iconv* Descriptor(std::unique_ptr<Iconv>& slot, const char* to, const char* from) {
  if (!slot) slot = std::make_unique<Iconv>(to, from);
  return slot->opened() ? slot.get() : nullptr;
}

// Each source character or bad sequence becomes one UTF-32 unit.
std::optional<std::string> Decode(Iconv& decoder, std::string_view text, bool utf8) {
  std::string wide(text.size() * 4, '\0');
  const char* in = text.data();
  std::size_t inLeft = text.size();
  char* out = wide.data();
  std::size_t outLeft = wide.size();
  while (inLeft > 0 && !decoder.convert(in, inLeft, out, outLeft)) {
    if ((errno != EILSEQ && errno != EINVAL) || outLeft < sizeof kReplacement) return std::nullopt;
    const std::size_t bad = utf8 ? NextUtf8Sequence(std::string_view(in, inLeft)).length : 1;
    in += bad;
    inLeft -= bad;
    std::memcpy(out, kReplacement, sizeof kReplacement);
    out += sizeof kReplacement;
    outLeft -= sizeof kReplacement;
  }
  wide.resize(wide.size() - outLeft);
  return wide;
}

// Each UTF-32 unit becomes one byte.
std::optional<std::string> Encode(Iconv& encoder, std::string_view wide) {
  std::string text(wide.size() / 4, '\0');
  const char* in = wide.data();
  std::size_t inLeft = wide.size();
  char* out = text.data();
  std::size_t outLeft = text.size();
  while (inLeft >= 4 && !encoder.convert(in, inLeft, out, outLeft)) {
    if (errno != EILSEQ || outLeft == 0) return std::nullopt;
    in += 4;
    inLeft -= 4;
    *out++ = kUnmappable;
    --outLeft;
  }
  text.resize(text.size() - outLeft);
  return text;
}

// UTF-32LE units as UTF-8; the decoder gives only valid code points (U+FFFD for bad sequences).
std::string Utf32ToUtf8(std::string_view wide) {
  std::string text;
  text.reserve(wide.size() / 2);
  for (std::size_t at = 0; at + 4 <= wide.size(); at += 4) {
    std::uint32_t cp = 0;
    for (std::size_t i = 4; i-- > 0;) cp = cp << 8 | static_cast<unsigned char>(wide[at + i]);
    AppendUtf8(text, cp);
  }
  return text;
}

ThreadDescriptors& Descriptors() {
  thread_local ThreadDescriptors descriptors;
  return descriptors;
}

Iconv* DecoderFor(const CharsetInfo& charset) {
  Iconv* decoder = Descriptor(Descriptors().decoders[static_cast<std::size_t>(charset.id)], kUtf32, charset.iconvName);
  if (decoder != nullptr) decoder->reset();
  return decoder;
}

}  // namespace

std::optional<std::string> ConvertToUtf8BySystem(std::string_view text, const CharsetInfo& charset) {
  Iconv* decoder = DecoderFor(charset);
  if (decoder == nullptr) return std::nullopt;
  const std::optional<std::string> wide = Decode(*decoder, text, charset.id == Charset::kUtf8);
  if (!wide) return std::nullopt;
  return Utf32ToUtf8(*wide);
}

std::optional<std::string> ConvertBySystem(std::string_view text, const CharsetInfo& charset) {
  Iconv* decoder = DecoderFor(charset);
  Iconv* encoder = Descriptor(Descriptors().encoder, "CP1251", kUtf32);
  if (decoder == nullptr || encoder == nullptr) return std::nullopt;
  encoder->reset();
  const std::optional<std::string> wide = Decode(*decoder, text, charset.id == Charset::kUtf8);
  if (!wide) return std::nullopt;
  return Encode(*encoder, *wide);
}

}  // namespace quelma::platform::charsets
