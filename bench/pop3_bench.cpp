// POP3 figures against any server on 127.0.0.1: RETR throughput, STAT and LIST time, the QUIT
// commit, and the serving process's peak memory (VmHWM). Usage:
//   pop3_bench PORT USER PASS MESSAGES PID_OR_0 [DELETE_EVERY]
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
    socket_.setReceiveTimeout(60000);
    if (!socket_.connect(platform::kLoopbackAddress, port)) std::exit(2);
    line();
  }
  // Receives until the buffer ends with `end`; returns the byte count.
  std::size_t until(std::string_view end) {
    std::size_t total = 0;
    for (;;) {
      const long n = socket_.receive(buffer_.data(), buffer_.size());
      if (n <= 0) std::exit(3);
      total += static_cast<std::size_t>(n);
      tail_.append(buffer_.data(), static_cast<std::size_t>(n));
      if (tail_.size() > 16) tail_.erase(0, tail_.size() - 16);
      if (std::string_view(tail_).ends_with(end)) return total;
    }
  }
  std::string line() {
    std::string text;
    char c;
    while (socket_.receive(&c, 1) == 1) {
      text.push_back(c);
      if (c == '\n') break;
    }
    return text;
  }
  void send(const std::string& command) { socket_.sendAll(command + "\r\n"); }

 private:
  platform::Socket socket_;
  std::string buffer_ = std::string(1 << 16, '\0');
  std::string tail_;
};

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: pop3_bench PORT USER PASS MESSAGES PID|-1 [DELETE_EVERY]\n");
    return 1;
  }
  platform::InitSocketLibrary();
  const auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
  const int messages = std::atoi(argv[4]);
  const long pid = std::atol(argv[5]);
  const int deleteEvery = argc > 6 ? std::atoi(argv[6]) : 0;

  const auto loginStart = Clock::now();
  Connection c(port);
  c.send(std::string("USER ") + argv[2]);
  c.line();
  c.send(std::string("PASS ") + argv[3]);
  c.line();
  const double login = Seconds(loginStart);

  auto t = Clock::now();
  c.send("STAT");
  const std::string stat = c.line();
  const double statTime = Seconds(t);
  t = Clock::now();
  c.send("LIST");
  c.until("\r\n.\r\n");
  const double listTime = Seconds(t);

  t = Clock::now();
  std::size_t bytes = 0;
  for (int n = 1; n <= messages; ++n) {
    c.send("RETR " + std::to_string(n));
    bytes += c.until("\r\n.\r\n");
  }
  const double retrTime = Seconds(t);
  const long peak = bench::PeakKilobytes(bench::ServingPid(pid, "pop3"));

  if (deleteEvery > 0) {
    for (int n = 1; n <= messages; n += deleteEvery) {
      c.send("DELE " + std::to_string(n));
      c.line();
    }
  }
  t = Clock::now();
  c.send("QUIT");
  c.line();
  const double quitTime = Seconds(t);

  std::printf("login %.1f ms | STAT %.2f ms | LIST %.2f ms | RETR %d msgs %.1f MB in %.3f s = %.0f MB/s | "
              "QUIT %.1f ms | peak %.1f MB | %s",
              login * 1e3, statTime * 1e3, listTime * 1e3, messages, bytes / 1e6, retrTime,
              bytes / 1e6 / retrTime, quitTime * 1e3, peak / 1024.0, stat.c_str());
  return 0;
}
