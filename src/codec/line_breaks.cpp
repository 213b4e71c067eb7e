// A line feed is wanted when the byte after it starts a line of note, when the byte before it
// is not a CR (if that matters), or when it ends the text.
#include "codec/line_breaks.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quelma::codec {
namespace {

bool Wanted(std::string_view text, std::size_t at, bool crBefore, LineBreakNeeds needs) {
  if (at + 1 == text.size() || text[at + 1] == needs.lineStart) return true;
  return needs.bareLineFeed && !crBefore;
}

// Line feed by line feed.
std::size_t ScanPlain(std::string_view text, std::size_t from, bool crBefore, LineBreakNeeds needs) {
  while (from < text.size()) {
    const void* found = std::memchr(text.data() + from, '\n', text.size() - from);
    if (!found) return std::string_view::npos;
    const auto at = static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
    if (Wanted(text, at, at > from ? text[at - 1] == '\r' : crBefore, needs)) return at;
    from = at + 1;
    crBefore = false;
  }
  return std::string_view::npos;
}

}  // namespace

std::size_t NextWantedLineBreak(std::string_view text, std::size_t from, bool crBefore, LineBreakNeeds needs) {
  if (from >= text.size()) return std::string_view::npos;
#if defined(__SSE2__)
  // The first byte alone (its CR before may lie outside the text), then sixteen bytes a time
  // while the byte before and the one after each of them are inside the text.
  if (text[from] == '\n') {
    if (Wanted(text, from, crBefore, needs)) return from;
  }
  std::size_t at = from + 1;
  const __m128i lineFeed = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i start = _mm_set1_epi8(needs.lineStart);
  const __m128i bareMatters = needs.bareLineFeed ? _mm_set1_epi8(-1) : _mm_setzero_si128();
  for (; at + 17 <= text.size(); at += 16) {
    const char* p = text.data() + at;
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i feeds = _mm_cmpeq_epi8(here, lineFeed);
    if (_mm_movemask_epi8(feeds) == 0) continue;
    const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p - 1));
    const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
    const __m128i bare = _mm_andnot_si128(_mm_cmpeq_epi8(before, cr), bareMatters);
    const __m128i wanted = _mm_and_si128(feeds, _mm_or_si128(_mm_cmpeq_epi8(after, start), bare));
    if (const int mask = _mm_movemask_epi8(wanted); mask != 0) return at + static_cast<std::size_t>(__builtin_ctz(mask));
  }
  return ScanPlain(text, at, text[at - 1] == '\r', needs);
#else
  return ScanPlain(text, from, crBefore, needs);
#endif
}

}  // namespace quelma::codec
