// Message structures read from real-world shapes of mail: each case drawn as a tree of parts
// with their bodies and line counts, the same whether the text comes whole or a byte at a time,
// and the same again after a trip through the summary's byte form.
#include "mime/message_structure.h"

#include <gtest/gtest.h>

#include "mime/content_fields.h"
#include "mime/structure_codec.h"

namespace quelma::mime {
namespace {

// "type/subtype lines <body>" for a leaf, "type/subtype [a | b]" for a multipart,
// "message/rfc822 lines {message}" for a message part.
std::string Draw(const MessagePart& part, std::string_view text) {
  std::string out = part.type + "/" + part.subtype;
  if (part.isMultipart() && !part.parts.empty()) {
    out += " [";
    for (std::size_t i = 0; i < part.parts.size(); ++i) out += (i ? " | " : "") + Draw(part.parts[i], text);
    return out + "]";
  }
  out += " " + std::to_string(part.bodyLines);
  if (part.isMessage() && !part.parts.empty()) return out + " {" + Draw(part.parts[0], text) + "}";
  if (part.bodyEnd > text.size() || part.bodyOffset > part.bodyEnd) return out + " <out of the text>";
  return out + " <" + std::string(text.substr(part.bodyOffset, part.bodyEnd - part.bodyOffset)) + ">";
}

MessagePart FedByteByByte(std::string_view text) {
  StructureReader reader;
  for (const char c : text) reader.feed(std::string_view(&c, 1));
  return reader.finish();
}

TEST(MessageStructure, ShapesOfMail) {
  const struct {
    const char* name;
    std::string text;
    std::string drawn;
  } cases[] = {
      {"plain text", "Subject: hi\r\n\r\nline 1\r\nline 2\r\n", "text/plain 2 <line 1\r\nline 2\r\n>"},
      {"last line without its break", "Subject: hi\r\n\r\nline 1\r\nend", "text/plain 2 <line 1\r\nend>"},
      {"bare LF line ends", "Subject: hi\n\none\ntwo\n", "text/plain 2 <one\ntwo\n>"},
      {"a header and no body", "Subject: hi\r\n", "text/plain 0 <>"},
      {"an empty body", "Subject: hi\r\n\r\n", "text/plain 0 <>"},
      {"nothing at all", "", "text/plain 0 <>"},
      {"multipart with preamble and epilogue",
       "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\npreamble\r\n--b1\r\n\r\nfirst\r\n--b1\r\n"
       "Content-Type: text/html\r\n\r\n<p>\r\n\r\n--b1--\r\nepilogue\r\n",
       "multipart/mixed [text/plain 1 <first> | text/html 1 <<p>\r\n>]"},
      {"an empty part", "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\n--b\r\n\r\nx\r\n--b--\r\n",
       "multipart/mixed [text/plain 0 <> | text/plain 1 <x>]"},
      {"a part whose header runs into the boundary",
       "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/html\r\n--b--\r\n",
       "multipart/mixed [text/html 0 <>]"},
      {"padding after the boundary, and a longer boundary that is not one",
       "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b \t\r\n\r\n--bx\r\n--b-- \r\n",
       "multipart/mixed [text/plain 1 <--bx>]"},
      {"nested, the inner one never closed: the outer boundary ends it",
       "Content-Type: multipart/mixed; boundary=outer\r\n\r\n--outer\r\n"
       "Content-Type: multipart/alternative; boundary=inner\r\n\r\n--inner\r\n\r\nplain\r\n--inner\r\n"
       "Content-Type: text/html\r\n\r\nhtml\r\n--outer\r\nContent-Type: image/png\r\n"
       "Content-Transfer-Encoding: base64\r\n\r\niVBORw0K\r\n--outer--\r\n",
       "multipart/mixed [multipart/alternative [text/plain 1 <plain> | text/html 1 <html>] | image/png 1 <iVBORw0K>]"},
      {"a forwarded message with a multipart of its own",
       "Content-Type: multipart/mixed; boundary=a\r\n\r\n--a\r\n\r\nsee below\r\n--a\r\n"
       "Content-Type: message/rfc822\r\n\r\nSubject: inner\r\nContent-Type: multipart/alternative; boundary=z\r\n"
       "\r\n--z\r\n\r\nx\r\n--z--\r\n--a--\r\n",
       "multipart/mixed [text/plain 1 <see below> | message/rfc822 7 {multipart/alternative [text/plain 1 <x>]}]"},
      {"a forwarded message whose header's empty line is the break before the boundary",
       "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: message/rfc822\r\n\r\n"
       "Subject: s\r\n\r\n--b--\r\n",
       "multipart/mixed [message/rfc822 1 {text/plain 0 <>}]"},
      {"a message part with nothing after its header",
       "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: message/rfc822\r\n\r\n--b--\r\n",
       "multipart/mixed [message/rfc822 0 {text/plain 0 <>}]"},
      {"a digest's parts are messages",
       "Content-Type: multipart/digest; boundary=d\r\n\r\n--d\r\n\r\nSubject: one\r\n\r\nbody\r\n--d--\r\n",
       "multipart/digest [message/rfc822 3 {text/plain 1 <body>}]"},
      {"an encoded message part is not followed",
       "Content-Type: message/rfc822\r\nContent-Transfer-Encoding: base64\r\n\r\nU3ViamVjdA==\r\n",
       "message/rfc822 1 <U3ViamVjdA==\r\n>"},
      {"a multipart without a boundary is one body",
       "Content-Type: multipart/mixed\r\n\r\n--b\r\nx\r\n", "multipart/mixed 2 <--b\r\nx\r\n>"},
      {"a boundary line in the header is header",
       "Content-Type: multipart/mixed; boundary=b\r\n--b\r\n\r\n--b\r\n\r\nx\r\n--b--\r\n",
       "multipart/mixed [text/plain 1 <x>]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const MessagePart whole = ReadStructure(c.text);
    EXPECT_EQ(Draw(whole, c.text), c.drawn);
    EXPECT_EQ(FedByteByByte(c.text), whole);
    const auto decoded = DecodeStructure(EncodeStructure(whole));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, whole);
  }
}

TEST(MessageStructure, TheFieldsAnEnvelopeAndABodystructureAreMadeOf) {
  const std::string text =
      "From: =?UTF-8?B?0JjQstCw0L0=?= <ivan@example.ru>\r\nTo: a@b.c,\r\n  d@e.f\r\nSubject: two\r\n words\r\n"
      "subject: not the first\r\nMessage-ID: <1@x>\r\nMIME-Version: 1.0\r\n"
      "Content-Type: text/plain (a comment) ; charset=\"koi8-r\"; format = flowed; broken; name=\"a \\\"b\\\"\"\r\n"
      "Content-Disposition: attachment;\r\n filename=\"r\xe9sum\xe9.txt\"\r\nContent-Transfer-Encoding: 8bit\r\n"
      "Content-ID: <c@x>\r\nContent-Language: ru\r\n\r\nbody\r\n";
  const MessagePart m = ReadStructure(text);
  ASSERT_TRUE(m.envelope);
  EXPECT_EQ(m.envelope->from, "=?UTF-8?B?0JjQstCw0L0=?= <ivan@example.ru>");
  EXPECT_EQ(m.envelope->to, "a@b.c,  d@e.f");
  EXPECT_EQ(m.envelope->subject, "two words");
  EXPECT_EQ(m.envelope->messageId, "<1@x>");
  EXPECT_FALSE(m.envelope->date);
  EXPECT_FALSE(m.envelope->cc);
  EXPECT_EQ(m.parameters, (std::vector<MimeParameter>{{"charset", "koi8-r"}, {"format", "flowed"}, {"name", "a \"b\""}}));
  EXPECT_EQ(m.disposition, "attachment");
  EXPECT_EQ(m.dispositionParameters, (std::vector<MimeParameter>{{"filename", "r\xe9sum\xe9.txt"}}));
  EXPECT_EQ(m.encoding, "8bit");
  EXPECT_EQ(m.id, "<c@x>");
  EXPECT_EQ(m.language, "ru");
  EXPECT_EQ(m.bodyOffset, text.size() - 6);
  // Defaults: no Content-Type, or one that cannot be read.
  for (const char* header : {"Subject: x\r\n", "Content-Type: text\r\n", "Content-Type: /plain\r\n"}) {
    const MessagePart d = ReadStructure(std::string(header) + "\r\nx\r\n");
    EXPECT_EQ(d.type + "/" + d.subtype, "text/plain") << header;
    EXPECT_EQ(d.parameters, (std::vector<MimeParameter>{{"charset", "us-ascii"}})) << header;
  }
  // Only a message has an envelope; a part does not.
  const MessagePart multi = ReadStructure("Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nSubject: p\r\n\r\n--b--\r\n");
  ASSERT_EQ(multi.parts.size(), 1u);
  EXPECT_FALSE(multi.parts[0].envelope);
}

TEST(MessageStructure, HostileShapesStayBounded) {
  // Nesting beyond the limit: the deepest multipart is one leaf.
  std::string deep;
  for (std::size_t i = 0; i < kMaxDepth + 8; ++i) {
    deep += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" + std::to_string(i) + "\r\n";
  }
  deep += "\r\nleaf\r\n";
  MessagePart part = ReadStructure(deep);
  std::size_t depth = 1;
  for (const MessagePart* p = &part; !p->parts.empty(); p = &p->parts[0]) ++depth;
  EXPECT_EQ(depth, kMaxDepth);
  EXPECT_TRUE(DecodeStructure(EncodeStructure(part)));
  // Parts beyond the limit: the rest is the last part's body.
  std::string many = "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
  for (std::size_t i = 0; i < kMaxParts + 10; ++i) many += "--b\r\n\r\nx\r\n";
  part = ReadStructure(many);
  EXPECT_EQ(part.parts.size(), kMaxParts - 1);
  // A line of 3 MB and a header of 1 MB: offsets exact, memory bounded by what is kept.
  const std::string longLine(3 << 20, 'a');
  std::string header = "Subject: " + std::string(1 << 20, 's') + "\r\n";
  const std::string big = header + "To: x@y\r\n\r\n" + longLine + "\r\n";
  part = ReadStructure(big);
  EXPECT_EQ(part.bodyOffset, header.size() + 11);
  EXPECT_EQ(part.bodyLines, 1u);
  ASSERT_TRUE(part.envelope && part.envelope->subject);
  EXPECT_LE(part.envelope->subject->size(), kMaxHeaderKept);
}

TEST(MessageStructure, DamagedBytesAreNoStructure) {
  const std::string good = EncodeStructure(
      ReadStructure("Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nSubject: p\r\n\r\nx\r\n--b--\r\n"));
  ASSERT_TRUE(DecodeStructure(good));
  for (std::size_t cut = 0; cut < good.size(); ++cut) EXPECT_FALSE(DecodeStructure(good.substr(0, cut))) << cut;
  EXPECT_FALSE(DecodeStructure(good + "x"));
  std::string newer = good;
  newer[0] = 2;
  EXPECT_FALSE(DecodeStructure(newer));
}

TEST(ContentFields, ValuesAsMailProgramsWriteThem) {
  const struct {
    const char* value;
    const char* type;  // nullptr: not a content type
    std::vector<MimeParameter> parameters;
  } cases[] = {
      {"text/plain", "text/plain", {}},
      {" TEXT/HTML ;CHARSET=UTF-8", "TEXT/HTML", {{"CHARSET", "UTF-8"}}},
      {"multipart/mixed;\r\n\tboundary=\"----=_Part_1;x\"", "multipart/mixed", {{"boundary", "----=_Part_1;x"}}},
      {"text/plain; charset=utf-8 (the best); format=flowed", "text/plain", {{"charset", "utf-8"}, {"format", "flowed"}}},
      {"application/x; name*0=\"a\"; name*1=b", "application/x", {{"name*0", "a"}, {"name*1", "b"}}},
      {"text/plain; =x; ; charset=; y=\"open", "text/plain", {{"y", "open"}}},
      {"text/plain garbage; charset=a", "text/plain", {{"charset", "a"}}},
      {"text", nullptr, {}},
      {"(only a comment)", nullptr, {}},
      {"text/(unclosed", nullptr, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    const auto parsed = ParseContentType(c.value);
    ASSERT_EQ(parsed.has_value(), c.type != nullptr);
    if (!parsed) continue;
    EXPECT_EQ(parsed->type + "/" + parsed->subtype, c.type);
    EXPECT_EQ(parsed->parameters, c.parameters);
  }
}

}  // namespace
}  // namespace quelma::mime
