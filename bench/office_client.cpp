// The office morning's clients: one thread per user collects every message (USER, PASS, STAT,
// RETR each, DELE each, QUIT), reading 1 MB at a time, and checks each text byte for byte
// against the written one. Written in C++ so that the clients are never what a server waits
// for. Usage:
//   office_client PORT USERS MESSAGES MAILDIR_ROOT TIMEOUT_S
// It loads the expected texts (MAILDIR_ROOT/userNN/cur/*), prints "ready", waits for a line on
// standard input, releases every client at once, and prints one JSON line per client, then
// one line "cpu SECONDS" with its own CPU time from the release to the end.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <latch>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace {

using namespace quelma;
using Clock = std::chrono::steady_clock;

struct Refused {
  std::string reason;
};

// The message number in the Subject line, the text's first line.
int NumberOf(std::string_view text) {
  const auto end = text.find("\r\n");
  const auto head = text.substr(0, end);
  const auto blank = head.rfind(' ');
  return blank == std::string_view::npos ? -1 : std::atoi(std::string(head.substr(blank + 1)).c_str());
}

std::map<int, std::string> LoadExpected(const std::string& folder) {
  std::map<int, std::string> texts;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    texts[NumberOf(text)] = std::move(text);
  }
  return texts;
}

class Client {
 public:
  Client(std::string name, std::map<int, std::string> expected) : name_(std::move(name)), expected_(std::move(expected)) {}

  void run(std::uint16_t port, std::uint32_t timeoutMs, std::latch& release) {
    release.wait();
    start_ = Clock::now();
    try {
      socket_ = platform::Socket::CreateTcp();
      socket_.setReceiveTimeout(timeoutMs);
      if (!socket_.connect(platform::kLoopbackAddress, port)) throw Refused{"no connection"};
      socket_.setNoDelay();
      ok("greeting");
      command("USER " + name_);
      command("PASS pw" + name_.substr(4));
      const std::string stat = command("STAT");
      const int count = std::atoi(stat.c_str() + 4);
      for (int n = 1; n <= count; ++n) {
        command("RETR " + std::to_string(n));
        check(multiline());
      }
      for (int n = 1; n <= count; ++n) command("DELE " + std::to_string(n));
      command("QUIT");
      outcome_ = "served";
    } catch (const Refused& e) {
      outcome_ = e.reason.starts_with("no reply") ? "stuck" : "refused";
      reason_ = e.reason;
    }
    end_ = Clock::now();
    socket_.close();
  }

  void print(Clock::time_point zero) const {
    auto seconds = [&](Clock::time_point t) { return std::chrono::duration<double>(t - zero).count(); };
    std::printf("{\"name\": \"%s\", \"outcome\": \"%s\", \"reason\": \"%s\", \"start\": %.6f, \"end\": %.6f, "
                "\"received\": %d, \"wrong\": %d, \"waits\": {",
                name_.c_str(), outcome_.c_str(), reason_.c_str(), seconds(start_), seconds(end_), received_, wrong_);
    bool first = true;
    for (const auto& [word, wait] : waits_) {
      std::printf("%s\"%s\": %.6f", first ? "" : ", ", word.c_str(), wait);
      first = false;
    }
    std::printf("}}\n");
  }

 private:
  void fill() {
    if (buffer_.size() - end_at_ < (1u << 20)) {
      buffer_.erase(0, begin_);
      end_at_ -= begin_;
      begin_ = 0;
      buffer_.resize(std::max<std::size_t>(buffer_.size(), end_at_ + (1u << 20)));
    }
    const long n = socket_.receive(buffer_.data() + end_at_, buffer_.size() - end_at_);
    if (n < 0) throw Refused{"no reply in time"};
    if (n == 0) throw Refused{"connection closed"};
    end_at_ += static_cast<std::size_t>(n);
  }
  std::string_view pending() const { return std::string_view(buffer_).substr(begin_, end_at_ - begin_); }

  std::string line() {
    std::size_t at;
    while ((at = pending().find("\r\n")) == std::string_view::npos) fill();
    std::string text(pending().substr(0, at));
    begin_ += at + 2;
    return text;
  }
  std::string ok(const std::string& what) {
    std::string text = line();
    if (!text.starts_with("+OK")) throw Refused{what + ": " + text.substr(0, 60)};
    return text;
  }
  std::string command(const std::string& text) {
    const std::string word = text.substr(0, text.find(' '));
    const auto sent = Clock::now();
    socket_.sendAll(text + "\r\n");
    std::string reply = ok(word);
    double& wait = waits_[word];
    wait = std::max(wait, std::chrono::duration<double>(Clock::now() - sent).count());
    return reply;
  }
  // The lines up to the end line, dot-stuffing undone.
  std::string multiline() {
    std::size_t searched = 0, at;
    while ((at = pending().find("\r\n.\r\n", searched)) == std::string_view::npos) {
      searched = pending().size() > 4 ? pending().size() - 4 : 0;
      fill();
    }
    std::string_view stuffed = pending().substr(0, at + 2);
    std::string text;
    text.reserve(stuffed.size());
    for (std::size_t from = 0; from < stuffed.size();) {
      std::size_t lf = stuffed.find('\n', from);
      lf = lf == std::string_view::npos ? stuffed.size() : lf + 1;
      const std::size_t skip = stuffed[from] == '.' ? 1 : 0;
      text.append(stuffed.substr(from + skip, lf - from - skip));
      from = lf;
    }
    begin_ += at + 5;
    return text;
  }
  void check(const std::string& text) {
    ++received_;
    const auto it = expected_.find(NumberOf(text));
    if (it == expected_.end() || it->second != text) ++wrong_;
  }

  std::string name_;
  std::map<int, std::string> expected_;
  platform::Socket socket_;
  std::string buffer_;
  std::size_t begin_ = 0, end_at_ = 0;
  Clock::time_point start_, end_;
  std::string outcome_ = "stuck", reason_;
  std::map<std::string, double> waits_;
  int received_ = 0, wrong_ = 0;
};

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: office_client PORT USERS MESSAGES MAILDIR_ROOT TIMEOUT_S\n");
    return 1;
  }
  platform::InitSocketLibrary();
  const auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
  const int users = std::atoi(argv[2]);
  const auto timeoutMs = static_cast<std::uint32_t>(std::atof(argv[5]) * 1000);
  std::vector<Client> clients;
  clients.reserve(static_cast<std::size_t>(users));
  for (int u = 1; u <= users; ++u) {
    const std::string name = (u < 10 ? "user0" : "user") + std::to_string(u);
    clients.emplace_back(name, LoadExpected(std::string(argv[4]) + "/" + name + "/cur"));
  }
  std::latch release(1);
  std::vector<std::thread> threads;
  for (Client& c : clients) threads.emplace_back([&] { c.run(port, timeoutMs, release); });
  std::printf("ready\n");
  std::fflush(stdout);
  std::string go;
  std::getline(std::cin, go);
  const double cpu = CpuSeconds();
  const auto zero = Clock::now();
  release.count_down();
  for (std::thread& t : threads) t.join();
  for (const Client& c : clients) c.print(zero);
  std::printf("cpu %.3f\n", CpuSeconds() - cpu);
  return 0;
}
