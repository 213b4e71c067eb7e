// Fuzz target: any maildrop file and any client bytes through the POP3 line reader and session.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "platform/files.h"
#include "net/protocol_line_reader.h"
#include "pop3_server/pop3_session.h"

using namespace quelma;

using fuzz::FixedClock;
using fuzz::NullWindow;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string dir = "/tmp/quelma-fuzz-pop3-" + std::to_string(::getpid()) + "/";
  static const bool made = platform::MakeDirectory(dir) || platform::IsDirectory(dir);
  if (!made) return 0;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find(std::string("\0\0", 2));
  if (auto out = platform::OutputFile::Create(dir + "ivan", platform::CreateMode::kTruncate)) {
    out->write(input.substr(0, split));
  }
  std::string commands = split == std::string::npos ? std::string() : input.substr(split + 2);
  commands = "USER ivan\r\nPASS x\r\n" + commands + "\r\nQUIT\r\n";

  auto config = std::make_shared<config::Configuration>();
  config->MailDropDir = dir;
  config->users = {{"ivan", "", ""}};
  NullWindow window;
  link::ServerControl control;
  FixedClock clock;
  link::ActivityLog log(window, control, clock);
  fuzz::NullSink sink;
  static serving::LoginGuard guard([] { return serving::LoginGuard::Clock::now(); }, [](std::chrono::milliseconds) {});
  pop3_server::Pop3Session session(config, log, sink, {size > 0 && data[0] % 2 == 0, "192.0.2.1", &guard, "<1.2@office.ru>"});
  platform::StringSource source(commands);
  net::ProtocolLineReader reader([&source](char* b, std::size_t n) { return static_cast<long>(source.read(b, n)); },
                                      clock, 1999, 2000);
  while (auto line = reader.nextLine()) {
    if (!session.handleLine(*line)) break;
  }
  return 0;
}
