// Fuzz target: any client bytes through the SMTP line reader, session and message intake.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "platform/files.h"
#include "net/protocol_line_reader.h"
#include "smtp_server/message_intake.h"
#include "smtp_server/smtp_session.h"

using namespace quelma;

using fuzz::FixedClock;
using fuzz::NullWindow;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string dir = "/tmp/quelma-fuzz-smtp-" + std::to_string(::getpid()) + "/";
  static const bool made = platform::MakeDirectory(dir) || platform::IsDirectory(dir);
  if (!made) return 0;
  auto config = std::make_shared<config::Configuration>();
  config->MailDropDir = dir;
  config->QueueDir = dir;
  config->LocalDomain = "office.ru";
  config->PostMaster = "postmaster";
  config->Boss = "boss";
  config->users = {{"postmaster", "", ""}, {"ivan", "secret", ""}, {"boss", "", ""}};
  // The first byte chooses whether AUTH is off, offered or required, and TLS up or not.
  const std::uint8_t mode = size > 0 ? data[0] : 0;
  config->SMTP_SRV_AUTH = static_cast<config::SmtpServerAuth>(mode % 3);
  NullWindow window;
  link::ServerControl control;
  FixedClock clock;
  link::ActivityLog log(window, control, clock);
  fuzz::NullSink sink;
  const std::string bytes = "HELO f\r\nMAIL FROM:<a@b.ru>\r\nRCPT TO:<ivan@office.ru>\r\n" +
                            std::string(reinterpret_cast<const char*>(data), size);
  platform::StringSource source(bytes);
  net::ProtocolLineReader reader([&source](char* b, std::size_t n) { return static_cast<long>(source.read(b, n)); },
                                      clock, 1199, 1200);
  static serving::LoginGuard guard([] { return serving::LoginGuard::Clock::now(); }, [](std::chrono::milliseconds) {});
  smtp_server::SmtpSessionOptions options;
  options.mayRelay = (mode & 4) != 0;
  options.secure = (mode & 8) != 0;
  options.client = "192.0.2.1";
  options.guard = &guard;
  options.challenge = "<1.2@office.ru>";
  smtp_server::SmtpSession session(config, log, sink, options);
  while (auto line = reader.nextLine()) {
    const auto action = session.handleLine(*line);
    if (action == smtp_server::SmtpAction::kEnd) break;
    if (action != smtp_server::SmtpAction::kReceiveText) continue;
    smtp_server::MessageIntake intake(*config, session.envelope());
    if (!intake.begin()) break;
    bool ended = false;
    while (auto piece = reader.nextPiece(smtp_server::kMaxStoredLine)) {
      if ((ended = intake.addPiece(*piece))) break;
    }
    if (!ended) break;
    if (auto stored = intake.finish()) intake.withdraw(*stored);
    session.messageStored();
  }
  // Keep the maildrops from growing without end over millions of runs.
  for (const char* user : {"ivan", "postmaster", "boss"}) platform::RemoveFile(dir + user);
  return 0;
}
