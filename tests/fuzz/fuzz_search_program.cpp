// Fuzz target: any text as the arguments of SEARCH; a program that reads is matched against a
// small message with and without its summary, and both answers are written.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "imap_server/command_syntax.h"
#include "imap_server/search_match.h"
#include "imap_server/search_program.h"
#include "imap_server/search_response.h"
#include "mime/message_structure.h"

using namespace quelma;
using namespace quelma::imap_server;

namespace {

const std::string kText =
    "Date: Mon, 1 Jan 2024 23:30:00 -0800\r\nFrom: =?UTF-8?B?0JjQstCw0L0=?= <i@x.ru>\r\nSubject: hi\r\n"
    "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain; charset=koi8-r\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n\r\n=F3=DE=A3=D4 a=\r\nb\r\n--b\r\n"
    "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n0YHRh9GR0YI=\r\n--b--\r\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view arguments(reinterpret_cast<const char*>(data), size);
  ArgumentReader in(arguments);
  const SearchParse parse = ReadSearchRequest(in, size % 2 == 0);
  if (parse.outcome != SearchParse::Outcome::kOk) return 0;
  static const mime::MessagePart structure = mime::ReadStructure(kText);
  SearchMatcher matcher(parse.request.program, {5, 50});
  std::vector<SearchHit> hits;
  for (std::uint32_t n = 1; n <= 2; ++n) {
    SearchMessage message;
    message.sequence = n;
    message.uid = n * 10;
    message.flags = n;
    message.recent = n == 1;
    message.modseq = n * 7;
    message.internalDate = 1704151800;
    message.size = kText.size();
    message.hasKeyword = [](std::string_view keyword) { return keyword == "$Junk"; };
    message.structure = n == 1 ? &structure : nullptr;
    message.text = []() -> std::optional<std::string_view> { return std::string_view(kText); };
    if (matcher.matches(message)) hits.push_back({n, message.modseq});
  }
  if (matcher.missedText()) __builtin_trap();
  (void)FormatSearchResponse(hits, parse.request.usesModseq);
  (void)FormatEsearchResponse("a1", parse.request, hits);
  return 0;
}
