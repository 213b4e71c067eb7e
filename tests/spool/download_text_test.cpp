// Messages read back out of a download file: the transfer form undone the same way wherever
// the file's reads are cut, and each message found again at the offset it began at.
#include <gtest/gtest.h>

#include <algorithm>

#include "spool/download_text.h"

namespace quelma::spool {
namespace {

// Hands out at most `piece` bytes per read, as a slow file or pipe may.
class PieceSource final : public platform::ByteSource {
 public:
  PieceSource(std::string_view bytes, std::size_t piece) : bytes_(bytes), piece_(piece) {}
  std::size_t read(char* buffer, std::size_t capacity) override {
    const std::size_t n = std::min({capacity, piece_, bytes_.size()});
    std::copy_n(bytes_.data(), n, buffer);
    bytes_.remove_prefix(n);
    return n;
  }

 private:
  std::string_view bytes_;
  std::size_t piece_;
};

struct Read {
  std::vector<std::string> texts, headers;
  std::vector<std::uint64_t> offsets;  // where each message began
};

Read ReadAll(const std::string& file, std::size_t piece) {
  PieceSource source(file, piece);
  DownloadedText reader(source);
  Read read;
  for (;;) {
    const std::uint64_t offset = reader.offset();
    std::string text;
    const auto next = reader.next([&text](std::string_view bytes) {
      text += bytes;
      return true;
    });
    if (next == DownloadedText::Next::kEnd) break;
    EXPECT_EQ(next, DownloadedText::Next::kMessage);
    read.texts.push_back(text);
    read.headers.push_back(reader.header());
    read.offsets.push_back(offset);
  }
  return read;
}

TEST(DownloadedText, TransferFormUndoneInEveryCut) {
  const std::string longLine(70000, 'x');
  const struct {
    const char* what;
    std::string file;
    std::vector<std::string> texts, headers;
  } cases[] = {
      {"two messages", "A: 1\r\n\r\nbody\r\n.\r\nB: 2\r\n\r\n.\r\n",
       {"A: 1\r\n\r\nbody\r\n", "B: 2\r\n\r\n"}, {"A: 1\r\n", "B: 2\r\n"}},
      {"doubled dots; a lone dot inside a line", "A: 1\r\n\r\n..\r\n...x\r\na.\r\n.\r\n",
       {"A: 1\r\n\r\n.\r\n..x\r\na.\r\n"}, {"A: 1\r\n"}},
      {"bare line feeds get CR; bare CRs stay", "A: 1\n\nx\ry\n.\n", {"A: 1\r\n\r\nx\ry\r\n"}, {"A: 1\r\n"}},
      {"an empty message", ".\r\nA: 1\r\n.\r\n", {"", "A: 1\r\n"}, {"", "A: 1\r\n"}},
      {"cut short inside a line", "A: 1\r\n\r\nlast", {"A: 1\r\n\r\nlast"}, {"A: 1\r\n"}},
      {"cut short after a CR", "A: 1\r", {"A: 1\r"}, {"A: 1\r"}},
      {"a dot and CR at the end is text", "A: 1\r\n.\r", {"A: 1\r\n.\r"}, {"A: 1\r\n.\r"}},
      {"a line longer than the read buffer", "A: " + longLine + "\r\n\r\n" + longLine + "\n.\r\n",
       {"A: " + longLine + "\r\n\r\n" + longLine + "\r\n"}, {"A: " + longLine + "\r\n"}},
      {"a header line that begins with a doubled dot", "..A\r\n\r\nb\r\n.\r\n", {".A\r\n\r\nb\r\n"}, {".A\r\n"}},
      {"a header of several lines, then lines of any kind",
       "From: a@b.test\r\nSubject: a subject of some length\r\n\tfolded\r\n\r\nbody line one\r\n\r\nline three\n"
       "..dotted line\r\n.\r\nX: 2\r\n\r\n.\r\n",
       {"From: a@b.test\r\nSubject: a subject of some length\r\n\tfolded\r\n\r\nbody line one\r\n\r\nline three\r\n"
        ".dotted line\r\n",
        "X: 2\r\n\r\n"},
       {"From: a@b.test\r\nSubject: a subject of some length\r\n\tfolded\r\n", "X: 2\r\n"}},
      {"nothing", "", {}, {}},
  };
  for (const auto& c : cases) {
    for (const std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{5},
                                    std::size_t{65535}, std::size_t{1} << 20}) {
      const Read read = ReadAll(c.file, piece);
      EXPECT_EQ(read.texts, c.texts) << c.what << ", reads of " << piece;
      EXPECT_EQ(read.headers, c.headers) << c.what << ", reads of " << piece;
      // Each message again from where it began, as a second copy is read.
      for (std::size_t i = 0; i < read.offsets.size(); ++i) {
        PieceSource again(std::string_view(c.file).substr(read.offsets[i]), piece);
        DownloadedText reader(again, read.offsets[i]);
        std::string text;
        reader.next([&text](std::string_view bytes) {
          text += bytes;
          return true;
        });
        EXPECT_EQ(text, c.texts[i]) << c.what << ", message " << i << " read again";
      }
    }
  }
}

TEST(DownloadedText, ARefusedTakeStopsTheReading) {
  PieceSource source("A: 1\r\n\r\nbody\r\n.\r\n", 4);
  DownloadedText reader(source);
  EXPECT_FALSE(reader.atEnd());
  EXPECT_EQ(reader.next([](std::string_view) { return false; }), DownloadedText::Next::kFailed);
}

}  // namespace
}  // namespace quelma::spool
