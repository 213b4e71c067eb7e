// ENVELOPE, BODY and BODYSTRUCTURE of stored message structures. The expected answers are
// Dovecot 2.3 imapd's on the same messages, but for our deliberate differences: the default
// encoding is written "7BIT", and a body's last line without its line break counts as a line.
#include "imap_server/body_structure.h"

#include <gtest/gtest.h>

#include <string>

namespace quelma::imap_server {
namespace {

std::string Crlf(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string Structure(std::string_view message, bool extended) {
  std::string out;
  AppendBodyStructure(out, mime::ReadStructure(Crlf(message)), extended, false);
  return out;
}

std::string Envelope(std::string_view message, bool utf8 = false) {
  std::string out;
  const mime::MessagePart root = mime::ReadStructure(Crlf(message));
  AppendEnvelope(out, *root.envelope, utf8);
  return out;
}

struct StructureCase {
  const char* name;
  const char* message;
  const char* bodyStructure;
  const char* body;
};

const StructureCase kStructureCases[] = {
    {"nested mixed, alternative and attachment",
     "From: a@b.c\nContent-Type: multipart/mixed; boundary=\"outer\"\n\npreamble\n--outer\n"
     "Content-Type: multipart/alternative; boundary=inner\n\n--inner\nContent-Type: text/plain; charset=utf-8\n"
     "Content-Transfer-Encoding: quoted-printable\n\nHello =C3=A9 w=\norld\n--inner\n"
     "Content-Type: text/html; charset=utf-8\n\n<p>Hello</p>\n--inner--\n--outer\n"
     "Content-Type: application/pdf; name=\"doc.pdf\"\nContent-Disposition: attachment; filename=\"doc.pdf\"\n"
     "Content-Transfer-Encoding: base64\n\nJVBERi0xLjQK\nJSVFT0YK\n--outer--\nepilogue\n",
     R"(((("text" "plain" ("charset" "utf-8") NIL NIL "quoted-printable" 21 2 NIL NIL NIL NIL)("text" "html" ("charset" "utf-8") NIL NIL "7BIT" 12 1 NIL NIL NIL NIL) "alternative" ("boundary" "inner") NIL NIL NIL)("application" "pdf" ("name" "doc.pdf") NIL NIL "base64" 22 NIL ("attachment" ("filename" "doc.pdf")) NIL NIL) "mixed" ("boundary" "outer") NIL NIL NIL))",
     R"(((("text" "plain" ("charset" "utf-8") NIL NIL "quoted-printable" 21 2)("text" "html" ("charset" "utf-8") NIL NIL "7BIT" 12 1) "alternative")("application" "pdf" ("name" "doc.pdf") NIL NIL "base64" 22) "mixed"))"},
    {"message/rfc822 inside",
     "From: fwd@x.org\nSubject: Fwd\nContent-Type: multipart/mixed; boundary=b1\n\n--b1\n\nsee attached\n--b1\n"
     "Content-Type: message/rfc822\nContent-Description: forwarded\n\nFrom: orig@y.org\nTo: z@y.org\n"
     "Subject: original\nContent-Type: multipart/alternative; boundary=b2\n\n--b2\nContent-Type: text/plain\n\n"
     "orig text\n--b2\nContent-Type: text/html\n\n<b>orig</b>\n--b2--\n--b1--\n",
     R"((("text" "plain" ("charset" "us-ascii") NIL NIL "7BIT" 12 1 NIL NIL NIL NIL)("message" "rfc822" NIL NIL "forwarded" "7BIT" 199 (NIL "original" ((NIL NIL "orig" "y.org")) ((NIL NIL "orig" "y.org")) ((NIL NIL "orig" "y.org")) ((NIL NIL "z" "y.org")) NIL NIL NIL NIL) (("text" "plain" ("charset" "us-ascii") NIL NIL "7BIT" 9 1 NIL NIL NIL NIL)("text" "html" ("charset" "us-ascii") NIL NIL "7BIT" 11 1 NIL NIL NIL NIL) "alternative" ("boundary" "b2") NIL NIL NIL) 14 NIL NIL NIL NIL) "mixed" ("boundary" "b1") NIL NIL NIL))",
     R"((("text" "plain" ("charset" "us-ascii") NIL NIL "7BIT" 12 1)("message" "rfc822" NIL NIL "forwarded" "7BIT" 199 (NIL "original" ((NIL NIL "orig" "y.org")) ((NIL NIL "orig" "y.org")) ((NIL NIL "orig" "y.org")) ((NIL NIL "z" "y.org")) NIL NIL NIL NIL) (("text" "plain" ("charset" "us-ascii") NIL NIL "7BIT" 9 1)("text" "html" ("charset" "us-ascii") NIL NIL "7BIT" 11 1) "alternative") 14) "mixed"))"},
    {"digest: parts without Content-Type are messages",
     "From: list@x\nContent-Type: multipart/digest; boundary=D\n\n--D\n\nFrom: one@x\nSubject: first\n\nbody one\n"
     "--D\nContent-Type: text/plain\n\nnot a message\n--D\n\nSubject: third\n\nbody three\n\n--D--\n",
     R"((("message" "rfc822" NIL NIL NIL "7BIT" 39 (NIL "first" ((NIL NIL "one" "x")) ((NIL NIL "one" "x")) ((NIL NIL "one" "x")) NIL NIL NIL NIL NIL) ("text" "plain" ("charset" "us-ascii") NIL NIL "7BIT" 8 1 NIL NIL NIL NIL) 4 NIL NIL NIL NIL)("text" "plain" ("charset" "us-ascii") NIL NIL "7BIT" 13 1 NIL NIL NIL NIL)("message" "rfc822" NIL NIL NIL "7BIT" 30 (NIL "third" NIL NIL NIL NIL NIL NIL NIL NIL) ("text" "plain" ("charset" "us-ascii") NIL NIL "7BIT" 12 1 NIL NIL NIL NIL) 3 NIL NIL NIL NIL) "digest" ("boundary" "D") NIL NIL NIL))",
     nullptr},
    {"no Content-Type", "Subject: bare\n\nno content type here\n",
     R"(("text" "plain" ("charset" "us-ascii") NIL NIL "7BIT" 22 1 NIL NIL NIL NIL))",
     R"(("text" "plain" ("charset" "us-ascii") NIL NIL "7BIT" 22 1))"},
    {"text without charset gets us-ascii after its parameters", "Content-Type: text/html; format=flowed\n\n<p>\n",
     R"(("text" "html" ("format" "flowed" "charset" "us-ascii") NIL NIL "7BIT" 5 1 NIL NIL NIL NIL))", nullptr},
    {"RFC 2231 continuations joined after the plain parameters",
     "From: a@b\nContent-Type: multipart/mixed; boundary=X\n\n--X\n"
     "Content-Type: application/octet-stream; name*0=\"long\"; name*1=\"name.bin\"; x-a=1\n"
     "Content-Disposition: attachment; filename*0*=utf-8''%D0%B0; filename*1=\"b c%.txt\"; size=12\n\nbinary\n--X\n"
     "Content-Type: text/plain; title*=us-ascii'en'This%20is; charset=\"ISO-8859-1\"\n"
     "Content-Disposition: inline; a*1=\"y\"; a*0=\"x\"; b*1=z\n\ntext\n--X--\n",
     R"((("application" "octet-stream" ("x-a" "1" "name" "longname.bin") NIL NIL "7BIT" 6 NIL ("attachment" ("size" "12" "filename*" "utf-8''%D0%B0b c%25.txt")) NIL NIL)("text" "plain" ("charset" "ISO-8859-1" "title*" "us-ascii'en'This%20is") NIL NIL "7BIT" 4 1 NIL ("inline" ("a" "xy" "b*1" "z")) NIL NIL) "mixed" ("boundary" "X") NIL NIL NIL))",
     nullptr},
    {"extension data of parts and multiparts",
     "Content-Type: multipart/related; boundary=R; type=\"text/html\"\nContent-Disposition: inline\n"
     "Content-Language: en\nContent-Location: http://x/\n\n--R\nContent-Type: TEXT/HTML; CHARSET=UTF-8\n"
     "Content-ID: <s@x>\nContent-Description: the page\nContent-MD5: Q2hlY2s=\n"
     "Content-Language: en, de-DE (German)\nContent-Location: page.html\n"
     "Content-Disposition: INLINE; FileName=page.html\n\n<html></html>\n--R--\n",
     R"((("TEXT" "HTML" ("CHARSET" "UTF-8") "<s@x>" "the page" "7BIT" 13 1 "Q2hlY2s=" ("INLINE" ("FileName" "page.html")) ("en" "de-DE") "page.html") "related" ("boundary" "R" "type" "text/html") ("inline" NIL) ("en") "http://x/"))",
     nullptr},
    {"multipart without a boundary has one empty text part",
     "From: a@b\nContent-Type: multipart/mixed\n\n--x\n\nnothing\n--x--\n",
     R"((("text" "plain" ("charset" "us-ascii") NIL NIL "7BIT" 0 0 NIL NIL NIL NIL) "mixed" NIL NIL NIL NIL))",
     R"((("text" "plain" ("charset" "us-ascii") NIL NIL "7BIT" 0 0) "mixed"))"},
    {"an encoded message part keeps the message form with empty fields",
     "Content-Type: multipart/mixed; boundary=E\n\n--E\nContent-Type: message/rfc822\n"
     "Content-Transfer-Encoding: base64\n\nRnJvbTogeEB5DQoNCmJvZHkNCg==\n--E--\n",
     R"((("message" "rfc822" NIL NIL NIL "base64" 28 (NIL NIL NIL NIL NIL NIL NIL NIL NIL NIL) ("text" "plain" ("charset" "us-ascii") NIL NIL "7BIT" 0 0 NIL NIL NIL NIL) 1 NIL NIL NIL NIL) "mixed" ("boundary" "E") NIL NIL NIL))",
     nullptr},
    {"8-bit description as a literal", "Content-Type: text/plain; charset=utf-8\nContent-Description: \xd0\xb0\n\nx\n",
     "(\"text\" \"plain\" (\"charset\" \"utf-8\") NIL {2}\r\n\xd0\xb0 \"7BIT\" 3 1 NIL NIL NIL NIL)", nullptr},
};

TEST(BodyStructure, AnswersAsDovecotDoes) {
  for (const StructureCase& c : kStructureCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Structure(c.message, true), c.bodyStructure);
    if (c.body) {
      EXPECT_EQ(Structure(c.message, false), c.body);
    }
  }
}

struct EnvelopeCase {
  const char* name;
  const char* header;
  const char* envelope;
};

const EnvelopeCase kEnvelopeCases[] = {
    {"plain", "From: Ann <ann@example.org>\nTo: bob@example.org\nSubject: hello\nDate: Mon, 1 Jan 2024 10:00:00 +0000\nMessage-ID: <1@x>\n",
     R"("Mon, 1 Jan 2024 10:00:00 +0000" "hello" (("Ann" NIL "ann" "example.org")) (("Ann" NIL "ann" "example.org")) (("Ann" NIL "ann" "example.org")) ((NIL NIL "bob" "example.org")) NIL NIL NIL "<1@x>")"},
    {"groups", "From: a@b.c\nTo: Friends: x@y.z, \"Y\" <y@y.z>;, undisclosed-recipients:;\nCc: Empty:;, solo@z\nBcc: G: (comment) ;\n",
     R"(NIL NIL ((NIL NIL "a" "b.c")) ((NIL NIL "a" "b.c")) ((NIL NIL "a" "b.c")) ((NIL NIL "Friends" NIL)(NIL NIL "x" "y.z")("Y" NIL "y" "y.z")(NIL NIL NIL NIL)(NIL NIL "undisclosed-recipients" NIL)(NIL NIL NIL NIL)) ((NIL NIL "Empty" NIL)(NIL NIL NIL NIL)(NIL NIL "solo" "z")) ((NIL NIL "G" NIL)(NIL NIL NIL NIL)) NIL NIL)"},
    {"empty fields", "From:\nTo:\nSubject:\nDate:\nMessage-ID:\nIn-Reply-To:\nSender:\nReply-To:\n",
     R"("" "" NIL NIL NIL NIL NIL NIL "" "")"},
    {"missing fields", "X-Only: 1\n", "NIL NIL NIL NIL NIL NIL NIL NIL NIL NIL"},
    {"empty sender and reply-to are from's", "From: f@x\nSender:\nReply-To: (none)\n",
     R"(NIL NIL ((NIL NIL "f" "x")) ((NIL NIL "f" "x")) ((NIL NIL "f" "x")) NIL NIL NIL NIL NIL)"},
    {"comments, quoted names, routes, bare local parts",
     "From: a@b.c (John Smith)\nTo: x@y (c1) (c2), \"Q\" (cm) <q@r>, (lead) c@d.e\n"
     "Cc: <@r1,@r2:u@h.org>, bare, x@, <>\nReply-To: =?utf-8?q?J=C3=A9?= <j@h>\nSender: \"John \\\"Q\\\" Doe\" <john@x.org>\n",
     R"(NIL NIL (("John Smith" NIL "a" "b.c")) (("John \"Q\" Doe" NIL "john" "x.org")) (("=?utf-8?q?J=C3=A9?=" NIL "j" "h")) (("c2" NIL "x" "y")("Q" NIL "q" "r")(NIL NIL "c" "d.e")) ((NIL "@r1,@r2" "u" "h.org")(NIL NIL "bare" "MISSING_DOMAIN")(NIL NIL "x" "MISSING_DOMAIN")(NIL NIL "MISSING_MAILBOX" "MISSING_DOMAIN")) NIL NIL NIL)"},
    {"garbage ends the list, an open group is closed",
     "From: \"a,b\" <ab@x>, <<>>, ;garbage\nTo: G2: m@n, <<>>, more@x\nCc: \"quoted local\"@x.org, user@[127.0.0.1], Mary Q. Public <mq@x>, \"\" <y@z>, @\n",
     R"(NIL NIL (("a,b" NIL "ab" "x")(NIL NIL "MISSING_MAILBOX" "SYNTAX_ERROR")) (("a,b" NIL "ab" "x")(NIL NIL "MISSING_MAILBOX" "SYNTAX_ERROR")) (("a,b" NIL "ab" "x")(NIL NIL "MISSING_MAILBOX" "SYNTAX_ERROR")) ((NIL NIL "G2" NIL)(NIL NIL "m" "n")(NIL NIL "MISSING_MAILBOX" "SYNTAX_ERROR")(NIL NIL NIL NIL)) ((NIL NIL "quoted local" "x.org")(NIL NIL "user" "[127.0.0.1]")("Mary Q. Public" NIL "mq" "x")(NIL NIL "y" "z")(NIL NIL "MISSING_MAILBOX" "MISSING_DOMAIN")) NIL NIL NIL)"},
};

TEST(Envelope, AnswersAsDovecotDoes) {
  for (const EnvelopeCase& c : kEnvelopeCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Envelope(std::string(c.header) + "\nbody\n"), c.envelope);
  }
}

TEST(Envelope, EightBitValuesAreLiteralsUnlessUtf8IsOn) {
  const std::string header = "Subject: \xd0\x9f\xd1\x80\xd0\xb8\nFrom: \xd0\x98 <i@x>\n\nb\n";
  const std::string off = Envelope(header, false), on = Envelope(header, true);
  EXPECT_EQ(off, "NIL {6}\r\n\xd0\x9f\xd1\x80\xd0\xb8 (({2}\r\n\xd0\x98 NIL \"i\" \"x\")) (({2}\r\n\xd0\x98 NIL \"i\" \"x\")) (({2}\r\n\xd0\x98 NIL \"i\" \"x\")) NIL NIL NIL NIL NIL");
  EXPECT_EQ(on, "NIL \"\xd0\x9f\xd1\x80\xd0\xb8\" ((\"\xd0\x98\" NIL \"i\" \"x\")) ((\"\xd0\x98\" NIL \"i\" \"x\")) ((\"\xd0\x98\" NIL \"i\" \"x\")) NIL NIL NIL NIL NIL");
  // Windows-1251 bytes are no UTF-8: a literal either way.
  EXPECT_EQ(Envelope("Subject: \xcf\xf0\xe8\n\nb\n", true).substr(0, 12), "NIL {3}\r\n\xcf\xf0\xe8");
}

// Whatever an address field holds, the answer is one balanced list of four-field addresses.
TEST(Envelope, AnyAddressTextGivesAWellFormedList) {
  const char* const kOdd[] = {"<", ">", "\"", "(", ")", ":", ";", "a:b:c;;", "<@", "<@a,@b", "<@a:", "a@b@c", ",,,", "\"\\",
                              "x (unclosed", "G: <a@b", "[1.2", "a@[1.2", "@@@", "\t ", "a b c <d@e> f", "G:(c);"};
  for (const char* odd : kOdd) {
    SCOPED_TRACE(odd);
    std::string out;
    AppendAddressList(out, std::string(odd), false);
    int depth = 0, fields = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < out.size(); ++i) {
      if (quoted && out[i] == '\\') ++i;
      else if (out[i] == '"') quoted = !quoted;
      else if (!quoted && out[i] == '(') ++depth;
      else if (!quoted && out[i] == ')') --depth;
      ASSERT_GE(depth, 0);
      if (!quoted && depth == 2 && out[i] == ' ') ++fields;
    }
    EXPECT_EQ(depth, 0);
    EXPECT_FALSE(quoted);
    EXPECT_TRUE(out == "NIL" || (out.front() == '(' && fields % 3 == 0)) << out;
  }
}

// 5000 parts and the deepest nesting the store keeps: linear work, bounded recursion.
TEST(BodyStructure, LargeAndDeepTreesStayWellFormed) {
  std::string wide = "Content-Type: multipart/mixed; boundary=P\n\n";
  for (int i = 0; i < 6000; ++i) wide += "--P\nContent-Type: text/plain; name*0=a; name*1=b\n\nx\n";
  wide += "--P--\n";
  const std::string answer = Structure(wide, true);
  EXPECT_EQ(std::count(answer.begin(), answer.end(), '('), std::count(answer.begin(), answer.end(), ')'));
  std::string deep;
  for (int i = 0; i < 100; ++i) deep += "Content-Type: message/rfc822\n\n";
  deep += "x\n";
  const std::string nested = Structure(deep, true);
  EXPECT_EQ(std::count(nested.begin(), nested.end(), '('), std::count(nested.begin(), nested.end(), ')'));
}

}  // namespace
}  // namespace quelma::imap_server
