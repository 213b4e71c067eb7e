// SMTP figures against any server on 127.0.0.1: messages per second and megabytes per second
// in one session, and the serving process's peak memory (VmHWM). Usage:
//   smtp_bench PORT MESSAGES SIZE RCPT PID|-1
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "peer_process.h"
#include "platform/socket.h"

namespace {

using namespace quelma;
using Clock = std::chrono::steady_clock;

class Connection {
 public:
  explicit Connection(std::uint16_t port) : socket_(platform::Socket::CreateTcp()) {
    socket_.setReceiveTimeout(120000);
    if (!socket_.connect(platform::kLoopbackAddress, port)) std::exit(2);
  }
  // One reply: lines until one whose fourth character is a blank.
  std::string reply() {
    std::string text, line;
    char c;
    while (socket_.receive(&c, 1) == 1) {
      line.push_back(c);
      if (c != '\n') continue;
      text += line;
      if (line.size() >= 4 && line[3] == ' ') return text;
      line.clear();
    }
    std::fprintf(stderr, "connection lost after: %s\n", text.c_str());
    std::exit(3);
  }
  std::string command(const std::string& line) {
    socket_.sendAll(line + "\r\n");
    return reply();
  }
  void send(std::string_view bytes) { socket_.sendAll(bytes); }

 private:
  platform::Socket socket_;
};

std::string MessageText(std::size_t size) {
  std::string text = "Subject: bench\r\nFrom: bench@example.com\r\n\r\n";
  const std::string line = "The quick brown fox jumps over the lazy dog; 0123456789 abcdefghijklmnopq\r\n";
  while (text.size() + line.size() <= size) text += line;
  return text + ".\r\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: smtp_bench PORT MESSAGES SIZE RCPT PID|-1\n");
    return 1;
  }
  platform::InitSocketLibrary();
  const auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
  const int messages = std::atoi(argv[2]);
  const std::string text = MessageText(static_cast<std::size_t>(std::atol(argv[3])));
  const std::string rcpt = argv[4];
  const long pid = std::atol(argv[5]);

  Connection c(port);
  c.reply();
  c.command("HELO bench");
  const auto start = Clock::now();
  for (int i = 0; i < messages; ++i) {
    c.command("MAIL FROM:<bench@example.com>");
    c.command("RCPT TO:<" + rcpt + ">");
    c.command("DATA");
    c.send(text);
    const std::string r = c.reply();
    if (r.rfind("250", 0) != 0) {
      std::fprintf(stderr, "refused: %s", r.c_str());
      return 4;
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const long peak = bench::PeakKilobytes(bench::ServingPid(pid, "smtpd"));
  c.command("QUIT");
  const double mb = static_cast<double>(text.size()) * messages / 1e6;
  std::printf("%d msgs of %zu B in %.3f s = %.0f msgs/s, %.1f MB/s | peak %.1f MB\n", messages, text.size(), seconds,
              messages / seconds, mb / seconds, peak / 1024.0);
  return 0;
}
