// Fuzz target: any message's ENVELOPE and BODYSTRUCTURE are balanced lists, every section it
// plans lies inside the message, and the header filter and decoders give the same bytes fed
// whole or in pieces.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "imap_server/body_structure.h"
#include "imap_server/message_sections.h"

using namespace quelma;

namespace {

// Parentheses outside quoted strings and literals balance.
bool Balanced(const std::string& out) {
  long depth = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '"') {
      for (++i; i < out.size() && out[i] != '"'; ++i) i += out[i] == '\\';
    } else if (out[i] == '{') {
      const std::size_t close = out.find('}', i);
      i = close + 2 + std::strtoull(out.c_str() + i + 1, nullptr, 10);
    } else if (out[i] == '(' || out[i] == ')') {
      depth += out[i] == '(' ? 1 : -1;
      if (depth < 0) return false;
    }
  }
  return depth == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t piece = 1 + data[0] % 13;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const mime::MessagePart root = mime::ReadStructure(text);
  std::string out;
  imap_server::AppendEnvelope(out, *root.envelope, data[0] & 1);
  imap_server::AppendBodyStructure(out, root, true, data[0] & 2);
  if (!Balanced(out)) std::abort();
  for (std::uint32_t a = 0; a < 4; ++a) {
    for (std::uint32_t b = 0; b < 3; ++b) {
      imap_server::SectionSpec section{{a, b}, imap_server::SectionSpec::Text::kHeaderFieldsNot, {"from", "x"}};
      const imap_server::SectionPlan plan = imap_server::PlanSection(root, section);
      if (plan.begin > plan.end || plan.end > text.size()) std::abort();
      const std::string_view bytes = text.substr(plan.begin, plan.end - plan.begin);
      imap_server::HeaderFieldFilter filter(section.fields, true);
      std::string pieces;
      for (std::size_t at = 0; at < bytes.size(); at += piece) filter.feed(bytes.substr(at, piece), pieces);
      filter.finish(pieces);
      if (pieces != imap_server::FilterHeaderFields(bytes, section.fields, true)) std::abort();
      for (const auto encoding : {imap_server::TransferEncoding::kBase64, imap_server::TransferEncoding::kQuotedPrintable}) {
        imap_server::BodyDecoder decoder(encoding);
        std::string decoded;
        bool ok = true;
        for (std::size_t at = 0; at < bytes.size() && ok; at += piece) ok = decoder.feed(bytes.substr(at, piece), decoded);
        ok = ok && decoder.finish(decoded);
        if (ok != imap_server::DecodeBody(bytes, encoding).has_value()) std::abort();
      }
    }
  }
  return 0;
}
