// Prints what FETCH would answer for one message file and the items named on the command line
// (ENVELOPE, BODYSTRUCTURE, BODY, BODY[section], BINARY[section], BINARY.SIZE[section]), one
// "* 1 FETCH (item value)" or "tN NO [code]" per item, for the comparison with Dovecot's imapd.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "imap_server/body_structure.h"
#include "imap_server/message_sections.h"
#include "mime/message_structure.h"
#include "platform/text.h"

namespace qi = quelma::imap_server;
namespace mime = quelma::mime;

namespace {

// "1.2.MIME" or "HEADER.FIELDS (FROM TO)" into a section; false when it cannot be read.
bool ParseSection(std::string text, qi::SectionSpec& section) {
  while (!text.empty() && text[0] >= '0' && text[0] <= '9') {
    const std::size_t dot = text.find('.');
    section.part.push_back(static_cast<std::uint32_t>(std::stoul(text.substr(0, dot))));
    text = dot == std::string::npos ? "" : text.substr(dot + 1);
  }
  using Text = qi::SectionSpec::Text;
  const std::size_t space = text.find(' ');
  const std::string word = quelma::platform::ToUpperAscii(text.substr(0, space));
  if (word.empty()) section.text = Text::kAll;
  else if (word == "HEADER") section.text = Text::kHeader;
  else if (word == "TEXT") section.text = Text::kText;
  else if (word == "MIME") section.text = Text::kMime;
  else if (word == "HEADER.FIELDS") section.text = Text::kHeaderFields;
  else if (word == "HEADER.FIELDS.NOT") section.text = Text::kHeaderFieldsNot;
  else return false;
  if (space != std::string::npos) {
    std::istringstream names(text.substr(space + 2, text.size() - space - 3));
    for (std::string name; names >> name;) section.fields.push_back(name);
  }
  return true;
}

std::string Literal(const std::string& bytes, bool binary) {
  return (binary ? "~{" : "{") + std::to_string(bytes.size()) + "}\r\n" + bytes;
}

std::string Slice(const std::string& message, const qi::SectionPlan& plan) {
  if (plan.kind == qi::SectionPlan::Kind::kEmpty || plan.begin >= message.size()) return {};
  return message.substr(plan.begin, std::min<std::uint64_t>(plan.end, message.size()) - plan.begin);
}

// The item's answer, or an empty string with `no` set to the NO response's code.
std::string Answer(const std::string& message, const mime::MessagePart& root, const std::string& item, std::string& no) {
  std::string out;
  if (item == "ENVELOPE") {
    out = "ENVELOPE (";
    qi::AppendEnvelope(out, root.envelope.value_or(mime::MessageEnvelope{}), false);
    return out + ")";
  }
  if (item == "BODYSTRUCTURE" || item == "BODY") {
    out = item + ' ';
    qi::AppendBodyStructure(out, root, item == "BODYSTRUCTURE", false);
    return out;
  }
  const std::size_t open = item.find('['), close = item.rfind(']');
  const std::string kind = item.substr(0, open), inside = item.substr(open + 1, close - open - 1);
  qi::SectionSpec section;
  if (!ParseSection(inside, section)) {
    no = "BAD";
    return {};
  }
  const std::string name = (kind == "BODY.PEEK" ? "BODY" : kind == "BINARY.PEEK" ? "BINARY" : kind) + '[' + inside + "] ";
  if (kind == "BODY.PEEK") {
    const qi::SectionPlan plan = qi::PlanSection(root, section);
    std::string bytes = Slice(message, plan);
    if (plan.kind == qi::SectionPlan::Kind::kHeaderFields) {
      bytes = qi::FilterHeaderFields(bytes, section.fields, section.text == qi::SectionSpec::Text::kHeaderFieldsNot);
    }
    return name + Literal(bytes, false);
  }
  const qi::BinaryPlan plan = qi::PlanBinary(root, section.part);
  if (plan.encoding == qi::TransferEncoding::kUnknown && plan.bytes.kind != qi::SectionPlan::Kind::kEmpty) {
    no = "[UNKNOWN-CTE]";
    return {};
  }
  const std::optional<std::string> decoded = qi::DecodeBody(Slice(message, plan.bytes), plan.encoding);
  if (!decoded) {
    no = "[PARSE]";
    return {};
  }
  if (kind == "BINARY.SIZE") return name + std::to_string(decoded->size());
  return name + Literal(*decoded, plan.encoding != qi::TransferEncoding::kIdentity);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: imap_render_dump MESSAGE-FILE ITEM...\n";
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  const std::string message((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const mime::MessagePart root = mime::ReadStructure(message);
  std::string out;
  for (int i = 2; i < argc; ++i) {
    std::string no;
    const std::string answer = Answer(message, root, argv[i], no);
    const std::string tag = "t" + std::to_string(i - 2);
    out += no.empty() ? "* 1 FETCH (" + answer + ")\r\n" + tag + " OK\r\n" : tag + " NO " + no + "\r\n";
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}
