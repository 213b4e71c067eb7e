// The text writer of maildrop appends: only a line that begins with the separator marker is
// changed, wherever the pieces it arrives in are cut.
#include <gtest/gtest.h>

#include "spool/maildrop.h"
#include "spool/maildrop_text.h"
#include "support/temp_dir.h"

namespace quelma::spool {
namespace {

std::string Written(const std::string& text, std::size_t piece) {
  testing::TempDir dir;
  {
    auto out = platform::OutputFile::Create(dir.file("drop"), platform::CreateMode::kTruncate);
    EXPECT_TRUE(out.has_value());
    MaildropTextWriter writer(*out);
    for (std::size_t at = 0; at < text.size(); at += piece) EXPECT_TRUE(writer.write(text.substr(at, piece)));
    EXPECT_TRUE(writer.finish());
  }
  return testing::ReadAll(dir.file("drop"));
}

TEST(MaildropText, OnlyTheMarkerAtALineStartIsChangedInEveryCut) {
  const std::string marker(kMaildropMarker);
  const struct {
    std::string text, stored;
  } cases[] = {
      {"From me\r\nFrom: x\r\n", "From me\r\nFrom: x\r\n"},
      {marker + " 0000000A\r\n", ">" + marker + " 0000000A\r\n"},
      {"a\r\n" + marker + "\r\nb\r\n" + marker, "a\r\n>" + marker + "\r\nb\r\n>" + marker + "\r\n"},
      {"x " + marker + "\r\n", "x " + marker + "\r\n"},
      {marker.substr(0, 12) + "\r\n", marker.substr(0, 12) + "\r\n"},
      {"From \x01\x01\x02\r\n\n\n", "From \x01\x01\x02\r\n\n\n"},
      {"F\nFrom x\r\n\n" + marker + "\nxx\r\n" + marker, "F\nFrom x\r\n\n>" + marker + "\nxx\r\n>" + marker + "\r\n"},
      {std::string(40, 'x') + "\r\n" + std::string(30, 'y') + "\n" + marker + "\r\nFrom\r\n" + std::string(20, 'z'),
       std::string(40, 'x') + "\r\n" + std::string(30, 'y') + "\n>" + marker + "\r\nFrom\r\n" + std::string(20, 'z') + "\r\n"},
      {"no line end", "no line end\r\n"},
      {"", ""},
  };
  for (const auto& c : cases) {
    for (std::size_t piece = 1; piece <= c.text.size() + 1; ++piece) {
      EXPECT_EQ(Written(c.text, piece), c.stored) << "pieces of " << piece;
    }
  }
}

}  // namespace
}  // namespace quelma::spool
